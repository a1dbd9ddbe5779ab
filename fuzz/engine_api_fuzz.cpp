// The engine's C API driven by random call sequences against the test plant
// (reinstalled for every input): random functions, counts, type codes, ids,
// field tags, cursors and buffer sizes. Every buffer is a heap block of
// exactly the size the API documents for the arguments given, so anything
// the engine reads or writes past it is caught; text records point at text
// buffers of exactly their stated capacity. Besides memory safety, each call
// keeps the API's promises: an error block it takes gets its code set, a
// count done stays within the items asked, a returned length within its
// buffer, and a cursor walk ends.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "api/dorvik.h"
#include "engine/control.h"
#include "fuzz/fuzz_check.h"
#include "tests/support/test_plant.h"

namespace {

namespace api = dorvik::api;

constexpr int16_t kUnset = 0x7ABC;  // an error code no call sets
constexpr int kMaxCalls = 24;
constexpr int kMaxWalk = 10'000;  // cursor steps before a walk counts as endless

// The plant with history, and the ids and field tags the calls draw from.
struct Plant {
  dorvik::DatabaseBuilder builder = [] {
    auto plant = vantrel::testing::PlantBuilder();
    std::vector<dorvik::HistoryPoint> points;
    for (int i = 0; i < 12; ++i) points.push_back({dorvik::Timestamp::FromSeconds(1'700'000'000 + 10 * i), i * 1.5, 0});
    plant.History(vantrel::testing::kTag1, "VALUE", points);
    return plant;
  }();
  std::vector<int32_t> ids;
  std::vector<int32_t> fieldTags;
};

Plant& ThePlant() {
  static Plant plant = [] {
    Plant p;
    dorvik::Install(p.builder);
    for (const char* name : {"TI100", "TI101", "TI102", "VN_AnalogDef", "VN_ModeSel"}) {
      p.ids.push_back(NAME2RECID(name, static_cast<int16_t>(std::strlen(name))));
    }
    for (const char* field : {"DESCRIPTION", "VALUE", "HI_LIMIT", "LO_LIMIT", "UNITS", "MODE", "COUNTER", "SMALL",
                              "TREND_COUNT", "TREND", "LINK", "SOURCE", "STAMP", "NOTE"}) {
      int32_t tag = 0;
      ERRBLOCK error{};
      DECODFT(field, static_cast<int16_t>(std::strlen(field)), &tag, &error);
      p.fieldTags.push_back(tag);
    }
    for (const int32_t tag : {api::kFieldName, api::kFieldSelectorTexts, api::kFieldCount, api::kFieldDataType}) {
      p.fieldTags.push_back(tag);
    }
    return p;
  }();
  return plant;
}

// The bytes a value of type takes in a value buffer, 0 for no such type.
int32_t ValueSize(int16_t type) {
  if (type > 0) return type;
  switch (type) {
    case api::kTypeRecordId: case api::kTypeInt32: case -5: return 4;
    case api::kTypeRecordAndField: return sizeof(IDANDFT);
    case api::kTypeInt16: return 2;
    case api::kTypeDouble: return 8;
    case api::kTypeTime: return sizeof(XUSTS);
    case api::kTypeInt16Quality: return sizeof(SVANDQU);
    case api::kTypeInt32Quality: return sizeof(LVANDQU);
    case api::kTypeFloatQuality: return sizeof(RVANDQU);
    case api::kTypeDoubleQuality: return sizeof(DVANDQU);
    case api::kTypeTextQuality: return sizeof(TVANDQU);
    default: return 0;
  }
}
// The bytes an occurrence of type takes (characters rounded up to even).
int32_t SlotStride(int16_t type) { return type > 0 ? type + (type & 1) : ValueSize(type); }

// Draws the arguments of the calls from the input.
class Draw {
 public:
  explicit Draw(FuzzedDataProvider& input) : in_(input) {}

  FuzzedDataProvider& In() { return in_; }
  int32_t Id() {
    const auto& ids = ThePlant().ids;
    switch (in_.ConsumeIntegralInRange(0, 5)) {
      case 0: return in_.ConsumeIntegral<int32_t>();
      case 1: return in_.ConsumeIntegralInRange(-2, 40);
      default: return ids[in_.ConsumeIntegralInRange<std::size_t>(0, ids.size() - 1)];
    }
  }
  int32_t FieldTag() {
    const auto& tags = ThePlant().fieldTags;
    const int32_t known = tags[in_.ConsumeIntegralInRange<std::size_t>(0, tags.size() - 1)];
    switch (in_.ConsumeIntegralInRange(0, 5)) {
      case 0: return in_.ConsumeIntegral<int32_t>();
      case 1: return known | in_.ConsumeIntegral<uint16_t>();
      case 2: return known + in_.ConsumeIntegralInRange(0, 5);
      default: return known;
    }
  }
  int16_t Type() {
    static constexpr std::array<int16_t, 12> kCodes{-1, -2, -3, -4, -5, -6, -17, -18, -19, -20, -21, -24};
    switch (in_.ConsumeIntegralInRange(0, 7)) {
      case 0: return in_.ConsumeIntegral<int16_t>();
      case 1: return in_.ConsumeIntegralInRange<int16_t>(1, 90);
      default: return kCodes[in_.ConsumeIntegralInRange<std::size_t>(0, kCodes.size() - 1)];
    }
  }
  int16_t Count(int16_t max = 8) { return in_.ConsumeIntegralInRange<int16_t>(-1, max); }
  std::string Name() {
    if (in_.ConsumeBool()) return in_.ConsumeRandomLengthString(300);
    static const std::array<const char*, 6> kNames{"TI100", "ti101", "VN_AnalogDef", "2 TREND", "VALUE", "NEW_1"};
    return kNames[in_.ConsumeIntegralInRange<std::size_t>(0, kNames.size() - 1)];
  }
  XUSTS Time() {
    if (in_.ConsumeBool()) return XUSTS{in_.ConsumeIntegral<int32_t>(), in_.ConsumeIntegral<int32_t>()};
    return XUSTS{1'700'000'000 + in_.ConsumeIntegralInRange(-20, 140), in_.ConsumeIntegralInRange(0, 999'999)};
  }

 private:
  FuzzedDataProvider& in_;
};

// n value records of the given types back to back, with a text buffer of
// exactly its capacity behind every text record; random bytes elsewhere
// (what a write sends).
class ValueBuffer {
 public:
  ValueBuffer(Draw& draw, const std::vector<int16_t>& types, int32_t perType, bool stride) {
    std::size_t size = 0;
    const auto step = [stride](int16_t type) {
      return static_cast<std::size_t>(stride ? SlotStride(type) : ValueSize(type));
    };
    for (const int16_t type : types) size += step(type) * static_cast<std::size_t>(perType);
    bytes_.resize(std::max<std::size_t>(size, 1));
    for (auto& byte : bytes_) byte = draw.In().ConsumeIntegral<uint8_t>();
    std::size_t at = 0;
    for (const int16_t type : types) {
      for (int32_t k = 0; k < perType; ++k, at += step(type)) {
        if (type == api::kTypeTextQuality) AttachText(draw, at);
      }
    }
  }
  void* Data() { return bytes_.data(); }
  uint8_t* At(std::size_t offset) { return bytes_.data() + offset; }

 private:
  void AttachText(Draw& draw, std::size_t at) {
    const auto capacity = draw.In().ConsumeIntegralInRange<int16_t>(-1, 90);
    texts_.push_back(std::make_unique<char[]>(static_cast<std::size_t>(std::max<int16_t>(capacity, 1))));
    char* text = capacity > 0 ? texts_.back().get() : nullptr;
    for (int16_t i = 0; i < capacity; ++i) text[i] = draw.In().ConsumeIntegral<char>();
    std::memcpy(At(at + offsetof(TVANDQU, TEXT)), &text, sizeof text);
    std::memcpy(At(at + offsetof(TVANDQU, LENGTH)), &capacity, sizeof capacity);
  }

  std::vector<uint8_t> bytes_;
  std::vector<std::unique_ptr<char[]>> texts_;
};

// A heap array of exactly n elements (one when n is 0 or less, so that the
// pointer is valid but nothing may be used).
template <typename T>
std::unique_ptr<T[]> Array(int32_t n) {
  return std::make_unique<T[]>(static_cast<std::size_t>(std::max(n, 1)));
}

std::unique_ptr<ERRBLOCK[]> Errors(int32_t n) {
  auto errors = Array<ERRBLOCK>(n);
  for (int32_t i = 0; i < std::max(n, 1); ++i) errors[i].ERRCODE = kUnset;
  return errors;
}

void RequireSet(const ERRBLOCK& error) { FUZZ_CHECK(error.ERRCODE != kUnset, "the call sets its error code"); }

void RequireDone(int32_t done, int32_t n, const ERRBLOCK& error) {
  FUZZ_CHECK(done >= 0 && done <= std::max(n, 0), "done stays within the items asked");
  FUZZ_CHECK(error.ERRCODE != 0 || done == n || n < 0, "a call without error did every item");
}

void Items(Draw& draw, int32_t n, IDANDFT* items, int16_t* types) {
  for (int32_t i = 0; i < n; ++i) {
    items[i] = IDANDFT{draw.Id(), draw.FieldTag()};
    if (types != nullptr) types[i] = draw.Type();
  }
}

void BatchValues(Draw& draw, bool write) {
  const int16_t n = draw.Count();
  auto items = Array<IDANDFT>(n);
  std::vector<int16_t> types(static_cast<std::size_t>(std::max<int16_t>(n, 0)));
  Items(draw, n, items.get(), types.data());
  ValueBuffer buffer(draw, types, 1, false);
  auto errors = Errors(n);
  int16_t done = -5;
  if (write) {
    MWDBVALS(n, items.get(), types.data(), buffer.Data(), &done, errors.get());
  } else {
    MRDBVALS(n, items.get(), types.data(), buffer.Data(), &done, errors.get());
  }
  // One block per item: a batch of none has none to set.
  if (n > 0) RequireSet(errors[0]);
  RequireDone(done, n, n > 0 ? errors[0] : ERRBLOCK{});
}

void RecordValues(Draw& draw) {
  const int32_t id = draw.Id();
  const int16_t n = draw.Count();
  auto tags = Array<int32_t>(n);
  std::vector<int16_t> types(static_cast<std::size_t>(std::max<int16_t>(n, 0)));
  for (int32_t i = 0; i < n; ++i) tags[i] = draw.FieldTag(), types[i] = draw.Type();
  ValueBuffer buffer(draw, types, 1, false);
  ERRBLOCK error{kUnset, 0, 0, 0};
  int16_t done = -5;
  RDBVALS(id, n, tags.get(), types.data(), buffer.Data(), &done, &error);
  RequireSet(error);
  RequireDone(done, n, error);
}

void Occurrences(Draw& draw) {
  const int32_t id = draw.Id();
  const int16_t n = draw.Count(4);
  const auto first = draw.In().ConsumeIntegralInRange<int16_t>(-1, 6);
  const auto last = draw.In().ConsumeIntegralInRange<int16_t>(-1, 6);
  const int32_t count = std::max(last - first + 1, 0);
  auto tags = Array<int32_t>(n);
  std::vector<int16_t> types(static_cast<std::size_t>(std::max<int16_t>(n, 0)));
  std::vector<std::unique_ptr<ValueBuffer>> owned;
  auto buffers = Array<void*>(n);
  for (int32_t i = 0; i < n; ++i) {
    tags[i] = draw.FieldTag();
    types[i] = draw.Type();
    owned.push_back(std::make_unique<ValueBuffer>(draw, std::vector<int16_t>{types[i]}, count, true));
    buffers[i] = owned.back()->Data();
  }
  ERRBLOCK error{kUnset, 0, 0, 0};
  int16_t occurrences = -5;
  int16_t fieldsDone = -5;
  MRDBOCCS(id, n, tags.get(), types.data(), first, last, buffers.get(), &occurrences, &fieldsDone, &error);
  RequireSet(error);
  RequireDone(fieldsDone, n, error);
}

void History(Draw& draw, bool reverse) {
  const int32_t id = draw.Id();
  // The API takes the field tag plus 1; wrapping as the caller's arithmetic would.
  const int32_t fieldTag = draw.FieldTag();
  const auto valueTag = static_cast<int32_t>(static_cast<uint32_t>(fieldTag) + (draw.In().ConsumeBool() ? 1u : 0u));
  const XUSTS start = draw.Time();
  const XUSTS end = draw.Time();
  const auto fieldCount = draw.In().ConsumeIntegralInRange<int16_t>(-1, 2);
  const int32_t count = draw.In().ConsumeIntegralInRange(-1, 12);
  auto tags = Array<int32_t>(fieldCount);
  std::vector<int16_t> types(static_cast<std::size_t>(std::max<int16_t>(fieldCount, 0)));
  std::vector<std::unique_ptr<ValueBuffer>> owned;
  auto buffers = Array<void*>(fieldCount);
  for (int32_t i = 0; i < fieldCount; ++i) {
    tags[i] = fieldTag;
    types[i] = draw.Type();
    owned.push_back(std::make_unique<ValueBuffer>(draw, std::vector<int16_t>{types[i]}, std::max(count, 0), true));
    buffers[i] = owned.back()->Data();
  }
  auto levels = Array<int16_t>(count);
  auto times = Array<XUSTS>(count);
  ERRBLOCK error{kUnset, 0, 0, 0};
  int32_t returned = -5;
  int16_t fieldsDone = -5;
  if (reverse) {
    RHIS21REV(0, 0, 0, 0, id, valueTag, &start, &end, fieldCount, tags.get(), types.data(), count, levels.get(),
              times.get(), buffers.get(), &returned, &fieldsDone, &error);
  } else {
    const int32_t requestType = draw.In().ConsumeBool() ? 4 : draw.In().ConsumeIntegral<int32_t>();
    RHIS21DATA(requestType, draw.In().ConsumeIntegral<int32_t>(), draw.In().ConsumeIntegralInRange(0, 127), id,
               valueTag, &start, &end, fieldCount, tags.get(), types.data(), count, levels.get(), times.get(),
               buffers.get(), &returned, &fieldsDone, &error);
  }
  RequireSet(error);
  FUZZ_CHECK(returned >= 0 && returned <= std::max(count, 0), "returned stays within the capacity");
}

void FieldQueries(Draw& draw) {
  const int32_t id = draw.Id();
  const int32_t tag = draw.FieldTag();
  ERRBLOCK error{kUnset, 0, 0, 0};
  switch (draw.In().ConsumeIntegralInRange(0, 3)) {
    case 0: {
      int16_t value = 0;
      DB2SHRT(id, tag, &value, &error);
      break;
    }
    case 1: {
      FIELDDEFN definition{};
      int16_t dataType = -1;
      FIELDDEFNINFO(id, tag, draw.In().ConsumeBool() ? 0 : draw.In().ConsumeIntegral<int32_t>(), &definition,
                    &dataType, &error);
      break;
    }
    case 2: {
      int32_t allowed = 0, level = 0;
      GETFLDPERMIS(id, tag, draw.In().ConsumeIntegralInRange(0, 3), &allowed, &level, &error);
      break;
    }
    default: {
      const int16_t n = draw.Count();
      auto items = Array<IDANDFT>(n);
      Items(draw, n, items.get(), nullptr);
      auto flags = Array<int32_t>(n);
      int32_t done = -5;
      FieldHistoryInfo(n, items.get(), &done, flags.get(), &error);
      RequireDone(done, n, error);
    }
  }
  RequireSet(error);
}

void Types(Draw& draw) {
  const int16_t n = draw.Count();
  auto items = Array<IDANDFT>(n);
  Items(draw, n, items.get(), nullptr);
  auto types = Array<int16_t>(n);
  auto errors = Errors(n);
  GETDATATYPES(n, items.get(), types.get(), errors.get());
  for (int32_t i = 0; i < n; ++i) RequireSet(errors[i]);
}

// A name in a block of exactly its length; the length passed may be less,
// or negative.
void Names(Draw& draw) {
  const std::string name = draw.Name();
  const auto block = Array<char>(static_cast<int32_t>(name.size()));
  std::memcpy(block.get(), name.data(), name.size());
  const int32_t whole = static_cast<int32_t>(std::min<std::size_t>(name.size(), 0x7FFF));
  const bool all = draw.In().ConsumeBool();
  const auto length = static_cast<int16_t>(all ? whole : draw.In().ConsumeIntegralInRange(-1, whole));
  switch (draw.In().ConsumeIntegralInRange(0, 4)) {
    case 0: NAME2RECID(block.get(), length); break;
    case 1: {
      int32_t tag = 0;
      ERRBLOCK error{kUnset, 0, 0, 0};
      DECODFT(block.get(), length, &tag, &error);
      RequireSet(error);
      break;
    }
    case 2: {
      int32_t id = draw.Id();
      auto out = Array<char>(api::kNameBufferSize);
      int16_t written = -5;
      GETNAMDB_LNAME(&id, out.get(), &written);
      FUZZ_CHECK(written >= 0 && static_cast<std::size_t>(written) < api::kNameBufferSize, "a record name fits");
      break;
    }
    case 3: {
      auto out = Array<char>(api::kFieldNameBufferSize);
      int16_t written = -5;
      GETFTDB_LNAME(draw.Id(), draw.FieldTag(), out.get(), &written);
      FUZZ_CHECK(written >= 0 && static_cast<std::size_t>(written) <= api::kFieldNameBufferSize, "a field name fits");
      break;
    }
    default: {
      ERRBLOCK error{kUnset, 0, 0, 0};
      CREATERECORD(draw.Id(), draw.Id(), draw.In().ConsumeIntegralInRange(0, 1), 0, block.get(), length, &error);
      RequireSet(error);
    }
  }
}

void Records(Draw& draw) {
  const int32_t id = draw.Id();
  ERRBLOCK error{kUnset, 0, 0, 0};
  switch (draw.In().ConsumeIntegralInRange(0, 5)) {
    case 0: DEFINID(id); return;
    case 1: RECTYPEOK(id, draw.In().ConsumeIntegralInRange(-20, 1)); return;
    case 2: VALIDUSA(id); return;
    case 3: MAKUSABL(id, &error); break;
    case 4: MAKUNUSA(id, &error); break;
    default: {
      int32_t next = 0;
      NXTFREE(draw.In().ConsumeIntegralInRange(0, 2), &next);
      return;
    }
  }
  RequireSet(error);
}

// The cursor walks: references, record lists, field list pages.
void Walks(Draw& draw) {
  switch (draw.In().ConsumeIntegralInRange(0, 2)) {
    case 0: {
      const int32_t target = draw.Id();
      int32_t record = 0, tag = 0;
      int steps = 0;
      do {
        NXTREFER(target, draw.In().ConsumeIntegralInRange(0, 1), &record, &tag);
      } while (record != 0 && ++steps < kMaxWalk);
      FUZZ_CHECK(steps < kMaxWalk, "the reference walk ends");
      break;
    }
    case 1: {
      const int32_t mode = draw.In().ConsumeIntegralInRange(0, 3);
      const int32_t definition = draw.Id();
      const int32_t max = draw.In().ConsumeIntegralInRange(-1, 4);
      auto ids = Array<int32_t>(max);
      auto flags = Array<char>(max);
      auto names = Array<char>(std::max(max, 0) * static_cast<int32_t>(api::kFieldNameBufferSize));
      auto lengths = Array<int16_t>(max);
      int32_t cursor = draw.In().ConsumeBool() ? 0 : draw.In().ConsumeIntegral<int32_t>();
      int32_t count = 0;
      int steps = 0;
      do {
        count = -5;
        GETRECORDLIST_LNAME(mode, definition, 1, 1, 0, nullptr, max, &cursor, ids.get(), flags.get(), names.get(),
                            lengths.get(), &count);
        FUZZ_CHECK(count >= 0 && count <= std::max(max, 0), "a record list page stays within max");
      } while (max > 0 && count == max && ++steps < kMaxWalk);
      FUZZ_CHECK(steps < kMaxWalk, "the record list ends");
      break;
    }
    default: {
      const int32_t capacity = draw.In().ConsumeIntegralInRange(-1, 5);
      auto valuesA = Array<int32_t>(capacity);
      auto valuesB = Array<int16_t>(capacity);
      auto flags = Array<char>(capacity);
      auto names = Array<char>(std::max(capacity, 0) * static_cast<int32_t>(api::kFieldNameBufferSize));
      auto lengths = Array<int16_t>(capacity);
      int32_t cursor = draw.In().ConsumeBool() ? 0 : draw.In().ConsumeIntegral<int32_t>();
      int32_t count = 0;
      int steps = 0;
      do {
        count = -5;
        GETFLDNAMS_LNAME(&cursor, 0, nullptr, 0, 0, 0, capacity, valuesA.get(), valuesB.get(), flags.get(),
                         names.get(), lengths.get(), &count);
        FUZZ_CHECK(count >= 0 && count <= std::max(capacity, 0), "a field list page stays within capacity");
      } while (count > 0 && ++steps < kMaxWalk);
      FUZZ_CHECK(steps < kMaxWalk, "the field list ends");
    }
  }
}

// Error texts, the user context and environment variables.
void Context(Draw& draw) {
  switch (draw.In().ConsumeIntegralInRange(0, 3)) {
    case 0: {
      ERRBLOCK error{draw.In().ConsumeIntegral<int16_t>(), draw.In().ConsumeIntegral<int16_t>(),
                     draw.In().ConsumeIntegral<int32_t>(), draw.In().ConsumeIntegral<int32_t>()};
      auto text = Array<char>(api::kMessageBufferSize);
      int16_t length = -5;
      ERRMESS(&error, text.get(), &length);
      FUZZ_CHECK(length >= 0 && static_cast<std::size_t>(length) <= api::kMessageBufferSize, "a message fits");
      break;
    }
    case 1: {
      const std::string domain = draw.In().ConsumeRandomLengthString(300);
      const std::string user = draw.In().ConsumeRandomLengthString(300);
      SetTlsData(domain.c_str(), user.c_str());
      ERRBLOCK error{kUnset, 0, 0, 0};
      REFRESHUSERCONTEXT(draw.In().ConsumeIntegralInRange(0, 1), &error);
      RequireSet(error);
      break;
    }
    case 2: {
      const std::string name = draw.In().ConsumeBool() ? "DORVIK_GROUP_NAME" : draw.In().ConsumeRandomLengthString(64);
      const int32_t capacity = draw.In().ConsumeIntegralInRange(-1, 40);
      auto value = Array<char>(capacity);
      const int32_t written = GetVntEnvironmentVariable(name.c_str(), value.get(), capacity);
      FUZZ_CHECK(written >= 0 && written <= std::max(capacity, 0), "an environment value fits");
      break;
    }
    default: {
      const std::string name = draw.In().ConsumeRandomLengthString(64);
      c21_getenv(name.c_str());
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  Plant& plant = ThePlant();
  dorvik::Install(plant.builder);
  SetTlsData("VNT", "fuzzer");
  FuzzedDataProvider input(data, size);
  Draw draw(input);
  for (int call = 0; call < kMaxCalls && input.remaining_bytes() > 0; ++call) {
    switch (input.ConsumeIntegralInRange(0, 11)) {
      case 0: Types(draw); break;
      case 1: BatchValues(draw, false); break;
      case 2: BatchValues(draw, true); break;
      case 3: RecordValues(draw); break;
      case 4: Occurrences(draw); break;
      case 5: FieldQueries(draw); break;
      case 6: History(draw, false); break;
      case 7: History(draw, true); break;
      case 8: Names(draw); break;
      case 9: Records(draw); break;
      case 10: Walks(draw); break;
      default: Context(draw); break;
    }
  }
  return 0;
}
