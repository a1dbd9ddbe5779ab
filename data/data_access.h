// DataAccess: the service class for current values and history of tags
// (contract IAccessService). Current values travel to and from the database
// in batches of at most 500 items, each one type query and one read or write
// call over a packed buffer of native value records; repeat-area fields
// expand to one item per occurrence. Every public operation reports any
// failure as a service fault. A DataAccess object is used by the thread that
// constructed it (the database user context is that thread's).
#ifndef VANTREL_DATA_DATA_ACCESS_H_
#define VANTREL_DATA_DATA_ACCESS_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "contracts/collections.h"
#include "contracts/services.h"
#include "data/batch_layout.h"
#include "platform/operation_context.h"
#include "session/session.h"

namespace vantrel::access {

class DataAccess : public Session, public contracts::IAccessService {
 public:
  static constexpr int32_t kBatchSize = 500;

  DataAccess();
  explicit DataAccess(bool enableVntCallback);

  // Every operation runs as the caller.
  static constexpr std::array<platform::OperationDeclaration, 3> kOperations{{
      {"GetTagValues", platform::ImpersonationOption::Required},
      {"SetTagValues", platform::ImpersonationOption::Required},
      {"GetHistoryValuesByIds", platform::ImpersonationOption::Required},
  }};

  contracts::TagValuesByIds GetTagValues(const contracts::TagsById& tagList) override;
  contracts::TagValuesByNames GetTagValues(const contracts::Tags& tagList) override;
  void SetTagValues(const contracts::TagValuesByIds& tagValuesByIds) override;
  void SetTagValues(const contracts::TagValuesByNames& tagValueList) override;
  contracts::TagValuesByIds GetHistoryValuesByIds(const contracts::HistoryRequests& request) override;

  // A read by names through a new DataAccess object, as the other session
  // classes read current values (constructing it sets the calling thread's
  // user context again). Failures leave as service faults.
  static contracts::TagValuesByNames ReadWithNewSession(const contracts::Tags& tags);

 protected:
  contracts::TagValuesByNames ReadCurrentValues(const contracts::Tags& tags) override;

 private:
  friend class DataAccessTestPeer;

  // The values of one write batch, by record and field, pointing into the
  // caller's request.
  using ValueBatch = contracts::OrderedMap<int32_t, contracts::OrderedMap<int32_t, const contracts::TagValues*>>;

  // One field of a batch, in request order: a record's field, how many
  // values it has now and, for writes, the caller's values. A record's
  // fields stand together in a batch, each field tag once.
  struct BatchField {
    int32_t recordId = 0;
    int32_t fieldId = 0;
    MaxOcurrenceInfo occurrences;
    const contracts::TagValues* values = nullptr;
    // Reads: the fields of its record in the request, the field's position
    // among all fields of the request and its record's among the records.
    uint32_t recordFields = 1;
    uint32_t ordinal = 0;
    uint32_t recordOrdinal = 0;
  };
  using FieldBatch = std::vector<BatchField>;

  // Where a read files its values: a field's list, made when its first value
  // comes (each field of a read is one BatchField, in one batch).
  class ValueSink {
   public:
    virtual ~ValueSink() = default;
    virtual contracts::TagValues& ListOf(const BatchField& field) = 0;
  };
  class AnswerByIds;    // files into a TagValuesByIds
  class CollectedRead;  // keeps the values of a read by names until their names are asked

  // A read request as the batching walks it: each record once, with its
  // field tags in the order given.
  struct RecordFields {
    int32_t recordId = 0;
    std::span<const int32_t> fieldIds;
  };
  // What one request keeps from batch to batch: its view of the field
  // definitions, and the memory of its batches (reused, so that a batch
  // after the first allocates nothing of its own).
  struct RequestState {
    FieldDefinitionMemo memo;
    std::vector<IDANDFT> items;
    std::vector<std::size_t> fieldOf;  // per item, its field's position in the batch
    std::vector<int16_t> reportedTypes;
    std::vector<ERRBLOCK> typeErrors;
    std::vector<SizeAndType> formats;
    std::vector<ERRBLOCK> errors;
    std::vector<bool> whole;
    BatchLayout layout;
  };
  // A read by names resolved to identifiers: the records' field tags lie in
  // fieldIds, which must not change while records is used.
  struct ResolvedNames {
    std::vector<RecordFields> records;
    std::vector<int32_t> fieldIds;
  };

  // Value buffers.
  void GetDorvikSizeAndType(int32_t tagId, int32_t fieldId, int16_t& nType, int32_t& size);
  SizeAndType GetDorvikSizeAndType(const IDANDFT& item);
  // The format of field fieldId of record tagId, given its definition (a
  // service fault when there is none).
  SizeAndType FormatOf(const contracts::FieldDefinition* definition, int32_t tagId, int32_t fieldId);
  contracts::TagValue ConvertDataBufferToTagValue(int16_t type, const std::byte* data, TextBuffer text = {});
  // The types other than numbers with quality (record names, text, times).
  contracts::TagValue ConvertOtherDataBuffer(int16_t type, const std::byte* data, TextBuffer text);
  int32_t UpdateDataBufferWithTagValue(std::byte* data, int16_t type, const contracts::TagValue& tagValue,
                                       TextBuffer text = {});
  int32_t SetDataBufferWithTagValue(std::byte* data, const IDANDFT& idandft, int16_t type,
                                    const ValueBatch& tagValuesByIds, TextBuffer text = {});
  // The caller's value for an item: of the values given under its field tag,
  // else under its base tag (lookup gives a tag's values, or null), the
  // element of the item's occurrence when there is one, else the first.
  template <typename Lookup>
  static const contracts::TagValue& ValueFor(const IDANDFT& item, Lookup lookup) {
    const contracts::TagValues* given = lookup(item.FT);
    if (given == nullptr) given = lookup(dorvik::api::BaseTag(item.FT));
    return ChooseValue(item, given);
  }
  static const contracts::TagValue& ChooseValue(const IDANDFT& item, const contracts::TagValues* given);
  // The text a database call returned in a text item's character buffer:
  // count characters (the terminator stored at count, never past the
  // buffer), up to a zero byte, from the code page, trimmed.
  static std::string ReturnedCodePageText(TextBuffer text, int16_t count);

  // Batch workers.
  void GetTagValues(int32_t maxcount, ValueSink& tagValuesByIds, const FieldBatch& batch, RequestState& state);
  void SetTagValues(int32_t maxcount, const FieldBatch& batch, RequestState& state);

  // The items of a batch's fields (a repeat-area field's occurrences; with
  // knownOnly, of the fields whose occurrences are known) into
  // state.items, and for each item the position of its field in the batch
  // into state.fieldOf.
  static void ExpandItems(const FieldBatch& batch, int32_t maxcount, bool knownOnly, RequestState& state);
  // The type query of a batch's items, laid out for the native call; the
  // query's error block per item goes to typeErrors.
  BatchLayout LayOut(std::span<const IDANDFT> items, std::vector<ERRBLOCK>& typeErrors);
  // The same for state.items, into state.layout.
  void LayOut(RequestState& state);
  // Each item's type code and size (a service fault for a field without a
  // definition).
  void ChooseFormats(std::span<const IDANDFT> items, FieldDefinitionMemo& memo, std::vector<SizeAndType>& formats);
  // A write stores all it was given or fails: raises when a field's
  // occurrences are unknown or the database would not type an item.
  void RequireWholeWrite(const FieldBatch& batch, std::span<const IDANDFT> items, const BatchLayout& layout,
                         std::span<const ERRBLOCK> typeErrors);
  // A read by names' keys: the names the database gives, raising when it
  // gives none.
  std::string NameOfRecord(int32_t recordId);
  std::optional<std::string> NameOfField(int32_t recordId, int32_t fieldId, FieldDefinitionMemo& memo);
  // The records and field tags that the names of a read by names resolve to
  // (names that resolve to nothing left out); two spellings of one record
  // add their fields up.
  ResolvedNames ResolveNames(const contracts::Tags& tagList);
  // The failure of a batch call that stopped at item done.
  [[noreturn]] void RaiseBatchFailure(std::string_view pattern, std::string_view operation,
                                      const BatchLayout& layout, int16_t done, std::span<const ERRBLOCK> errors);

  // Reads the records recordAt(0) .. recordAt(count - 1) (each a RecordFields).
  template <typename RecordAt>
  void ReadByIds(std::size_t count, const RecordAt& recordAt, RequestState& state, ValueSink& answer);
  void WriteByIds(const contracts::TagValuesByIds& tagValuesByIds);

  // History.
  void ReadHistory(contracts::TagValuesByIds& result, const contracts::HistoryRequestById& request);
  static void GetHistorySizeAndTypeByType(int16_t oType, int16_t& nType, int32_t& size);
  contracts::TagValue ConvertHistoryBufferToTagValue(int16_t type, const std::byte* data, int16_t level,
                                                     const XUSTS& timestamp, TextBuffer text = {});
  static int32_t AdjustHistoryMaxCountByRequestType(int32_t requestedCount,
                                                    contracts::OutsidersRequestTypeEnum outsidersRequestType);
  void PatchHistoryOutsiders(contracts::TagValuesByIds& tagValuesByIds, const contracts::HistoryRequestById& request,
                             int32_t requestedCount, bool reverse);
  // The values of a follow-up forward read of request's field.
  contracts::TagValues ReadFollowUp(const contracts::HistoryRequestById& request, const contracts::DateTime& start,
                                    const contracts::DateTime& end, contracts::OutsidersRequestTypeEnum kind,
                                    int32_t maxCount);
};

}  // namespace vantrel::access

#endif  // VANTREL_DATA_DATA_ACCESS_H_
