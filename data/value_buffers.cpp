// Native value records <-> TagValue: which type code and record size a
// field travels with, and how one record is decoded and encoded.
#include <cstring>
#include <limits>

#include <fmt/format.h>

#include "data/data_access.h"
#include "data/value_conversion.h"
#include "platform/codepage.h"
#include "platform/exceptions.h"
#include "platform/fault.h"

namespace vantrel::access {
namespace {

namespace api = dorvik::api;
using contracts::DateTime;
using contracts::FieldReferenceTypeEnum;
using contracts::TagIdentifier;
using contracts::TagIdentifiers;
using contracts::TagValue;
using contracts::TypeCode;

constexpr int32_t kRecordIdSize = 4;
constexpr int32_t kRecordAndFieldSize = sizeof(IDANDFT);
constexpr int32_t kInt16Size = 2;
constexpr int32_t kTimeSize = sizeof(XUSTS);

template <typename T>
T ReadAt(const std::byte* data, std::size_t offset) {
  T value;
  std::memcpy(&value, data + offset, sizeof(T));
  return value;
}

template <typename T>
void WriteAt(std::byte* data, std::size_t offset, const T& value) {
  std::memcpy(data + offset, &value, sizeof(T));
}

// The native form of a value's time. The minimum timestamp marks a value
// without a time and travels as the native zero time; converting it would
// fail, as it lies before the native range.
XUSTS NativeTime(const DateTime& time) {
  return time == DateTime::MinValue ? XUSTS{0, 0} : Session::DateTimeToXusts(time);
}

// A value record with quality: where its members lie.
template <typename Record>
struct QualityLayout {
  static constexpr std::size_t kValue = offsetof(Record, VALUE);
  static constexpr std::size_t kStatus = offsetof(Record, STATUS);
  static constexpr std::size_t kLevel = offsetof(Record, LEVEL);
  static constexpr std::size_t kTime = offsetof(Record, TIME);
};

template <typename Record, typename T>
TagValue DecodeWithQuality(const std::byte* data) {
  using L = QualityLayout<Record>;
  return TagValue(ReadAt<T>(data, L::kValue), Session::XustsToDateTime(ReadAt<XUSTS>(data, L::kTime)),
                  ReadAt<int16_t>(data, L::kStatus), ReadAt<int16_t>(data, L::kLevel));
}

template <typename Record, typename T>
int32_t EncodeWithQuality(std::byte* data, T value, const TagValue& tagValue) {
  using L = QualityLayout<Record>;
  WriteAt(data, L::kValue, value);
  WriteAt(data, L::kStatus, static_cast<int16_t>(tagValue.Status));
  WriteAt(data, L::kLevel, static_cast<int16_t>(tagValue.Level));
  WriteAt(data, L::kTime, NativeTime(tagValue.Timestamp));
  return sizeof(Record);
}

TagValue WithoutQuality(contracts::Value value, DateTime timestamp = DateTime::MinValue) {
  return TagValue(std::move(value), timestamp, TagValue::kNoStatus, TagValue::kNoLevel);
}

}  // namespace

void DataAccess::GetDorvikSizeAndType(int32_t tagId, int32_t fieldId, int16_t& nType, int32_t& size) {
  const SizeAndType format = GetDorvikSizeAndType(IDANDFT{tagId, fieldId});
  nType = format.type;
  size = format.size;
}

SizeAndType DataAccess::GetDorvikSizeAndType(const IDANDFT& item) {
  return FormatOf(GetFieldDefinitionByFieldId(GetDefinitionID(item.ID), item.FT).get(), item.ID, item.FT);
}

SizeAndType DataAccess::FormatOf(const contracts::FieldDefinition* definition, int32_t tagId, int32_t fieldId) {
  if (definition == nullptr) {
    throw platform::FaultException(contracts::ServiceException(platform::Exception(
        fmt::format("Invalid field id 0x{0:X} for tag id {1}", static_cast<uint32_t>(fieldId), tagId))));
  }
  switch (definition->DataType) {
    case TypeCode::Int16:
      if (definition->FieldReferenceType == FieldReferenceTypeEnum::DataType6) return {api::kTypeInt16, kInt16Size};
      return {api::kTypeInt16Quality, sizeof(SVANDQU)};
    case TypeCode::Int32:
      if (definition->FieldReferenceType == FieldReferenceTypeEnum::Record) {
        if (definition->Length == kRecordIdSize) return {api::kTypeRecordId, kRecordIdSize};
        return {api::kTypeRecordAndField, kRecordAndFieldSize};
      }
      return {api::kTypeInt32Quality, sizeof(LVANDQU)};
    case TypeCode::Single: return {api::kTypeFloatQuality, sizeof(RVANDQU)};
    case TypeCode::Double: return {api::kTypeDoubleQuality, sizeof(DVANDQU)};
    case TypeCode::DateTime: return {api::kTypeTime, kTimeSize};
    default: return {api::kTypeTextQuality, sizeof(TVANDQU)};
  }
}

TagValue DataAccess::ConvertDataBufferToTagValue(int16_t type, const std::byte* data, TextBuffer text) {
  // The numbers with quality, most values read, decode here; the types that
  // need names or text cost a larger frame and go out of line.
  switch (type) {
    case api::kTypeInt16Quality: return DecodeWithQuality<SVANDQU, int16_t>(data);
    case api::kTypeInt32Quality: return DecodeWithQuality<LVANDQU, int32_t>(data);
    case api::kTypeFloatQuality: return DecodeWithQuality<RVANDQU, float>(data);
    case api::kTypeDoubleQuality: return DecodeWithQuality<DVANDQU, double>(data);
    default: return ConvertOtherDataBuffer(type, data, text);
  }
}

TagValue DataAccess::ConvertOtherDataBuffer(int16_t type, const std::byte* data, TextBuffer text) {
  switch (type) {
    case api::kTypeRecordId:
      return WithoutQuality(GetRecordName(ReadAt<int32_t>(data, 0)));
    case api::kTypeRecordAndField: {
      const auto address = ReadAt<IDANDFT>(data, 0);
      return WithoutQuality(TagIdentifiers{TagIdentifier(GetRecordName(address.ID), address.ID),
                                           TagIdentifier(GetAttributeName(address.ID, address.FT), address.FT)});
    }
    case api::kTypeInt16:
      return WithoutQuality(ReadAt<int16_t>(data, 0));
    case api::kTypeTime: {
      const DateTime time = XustsToDateTime(ReadAt<XUSTS>(data, 0));
      return WithoutQuality(time, time);
    }
    case api::kTypeTextQuality: {
      using L = QualityLayout<TVANDQU>;
      return TagValue(ReturnedCodePageText(text, ReadAt<int16_t>(data, offsetof(TVANDQU, LENGTH))),
                      XustsToDateTime(ReadAt<XUSTS>(data, L::kTime)), ReadAt<int16_t>(data, L::kStatus),
                      ReadAt<int16_t>(data, L::kLevel));
    }
    default:
      return TagValue();
  }
}

int32_t DataAccess::UpdateDataBufferWithTagValue(std::byte* data, int16_t type, const TagValue& tagValue,
                                                 TextBuffer text) {
  const contracts::Value& value = tagValue.Value;
  switch (type) {
    case api::kTypeInt16:
      WriteAt(data, 0, ToInt16(value));
      return kInt16Size;
    case api::kTypeRecordId: {
      const auto* name = std::get_if<std::string>(&value);
      WriteAt(data, 0, name != nullptr ? GetRecordID(*name) : ToInt32(value));
      return kRecordIdSize;
    }
    case api::kTypeRecordAndField: {
      IDANDFT address{-1, -1};
      if (const auto* name = std::get_if<std::string>(&value)) {
        std::string spaced = *name;
        std::replace(spaced.begin(), spaced.end(), '\t', ' ');
        const auto blank = spaced.rfind(' ');
        if (blank == std::string::npos || blank < 1) {
          throw platform::Exception("Expected space delimiter between record and field name.");
        }
        address.ID = GetRecordID(std::string(platform::Trim(std::string_view(spaced).substr(0, blank))));
        address.FT = GetAttributeID(std::string(platform::Trim(std::string_view(spaced).substr(blank))));
      } else if (const auto* identifiers = std::get_if<TagIdentifiers>(&value)) {
        if (identifiers->size() < 2) {
          throw platform::ArgumentException(
              "A record-and-field pointer needs two identifiers: the record's and the field's.");
        }
        address.ID = (*identifiers)[0].RecordID();
        address.FT = (*identifiers)[1].RecordID();
      }
      WriteAt(data, 0, address);
      return kRecordAndFieldSize;
    }
    case api::kTypeInt16Quality: return EncodeWithQuality<SVANDQU>(data, ToInt16(value), tagValue);
    case api::kTypeInt32Quality: return EncodeWithQuality<LVANDQU>(data, ToInt32(value), tagValue);
    case api::kTypeFloatQuality: return EncodeWithQuality<RVANDQU>(data, ToSingle(value), tagValue);
    case api::kTypeDoubleQuality: return EncodeWithQuality<DVANDQU>(data, ToDouble(value), tagValue);
    case api::kTypeTime:
      WriteAt(data, 0, NativeTime(ToDateTime(value)));
      return kTimeSize;
    case api::kTypeTextQuality: {
      using L = QualityLayout<TVANDQU>;
      // A text value is taken as it stands, without a copy.
      std::string converted;
      const std::string* given = std::get_if<std::string>(&value);
      if (given == nullptr) given = &(converted = ToText(value));
      const std::string& textValue = *given;
      // Replaced or cut characters would store a value the caller did not give.
      RequireStorableText(textValue, "text");
      const std::size_t characters = platform::CharacterCount(textValue);
      // The text and its terminator must fit: a cut text would store a value
      // the caller did not give.
      if (characters >= text.size()) {
        throw platform::ArgumentException(fmt::format(
            "The text of {0} characters does not fit the field, which holds at most {1}.", characters,
            text.empty() ? 0 : text.size() - 1));
      }
      ConvertStringToCharArray(textValue, text, static_cast<int32_t>(characters));
      WriteAt(data, L::kStatus, static_cast<int16_t>(tagValue.Status));
      WriteAt(data, L::kLevel, static_cast<int16_t>(tagValue.Level));
      WriteAt(data, offsetof(TVANDQU, LENGTH), static_cast<int16_t>(characters));
      WriteAt(data, L::kTime, NativeTime(tagValue.Timestamp));
      return sizeof(TVANDQU);
    }
    default:
      return 0;
  }
}

int32_t DataAccess::SetDataBufferWithTagValue(std::byte* data, const IDANDFT& idandft, int16_t type,
                                              const ValueBatch& tagValuesByIds, TextBuffer text) {
  const auto& fields = tagValuesByIds.at(idandft.ID);
  const TagValue& chosen = ValueFor(idandft, [&](int32_t tag) -> const contracts::TagValues* {
    const auto found = fields.find(tag);
    return found == fields.end() ? nullptr : found->second;
  });
  return UpdateDataBufferWithTagValue(data, type, chosen, text);
}

const TagValue& DataAccess::ChooseValue(const IDANDFT& item, const contracts::TagValues* given) {
  if (given == nullptr) {
    throw platform::Exception(fmt::format("No value is given to set tag field tag id, {0}, 0x{1:X}.", item.ID,
                                          static_cast<uint32_t>(item.FT)));
  }
  if (given->empty()) {
    throw platform::ArgumentException(fmt::format("The value list for record {0}, field 0x{1:X} is empty.", item.ID,
                                                  static_cast<uint32_t>(item.FT)));
  }
  const int32_t occurrence = api::OccurrenceOf(item.FT);
  const std::size_t index = occurrence > 0 ? static_cast<std::size_t>(occurrence - 1) : 0;
  return index > 0 && given->size() > index ? (*given)[index] : (*given)[0];
}

std::string DataAccess::ReturnedCodePageText(TextBuffer text, int16_t count) {
  if (text.empty()) return {};
  const std::size_t end = std::min<std::size_t>(count < 0 ? 0 : static_cast<std::size_t>(count), text.size() - 1);
  text[end] = '\0';
  return platform::FromAnsiTrimmedToZero(std::string_view(text.data(), end));
}

}  // namespace vantrel::access
