// Reaches the private value-buffer operations and batch layout of
// DataAccess for tests (DataAccess names this class its friend).
#ifndef VANTREL_TESTS_SUPPORT_DATA_ACCESS_TEST_PEER_H_
#define VANTREL_TESTS_SUPPORT_DATA_ACCESS_TEST_PEER_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "data/data_access.h"

namespace vantrel::access {

class DataAccessTestPeer {
 public:
  explicit DataAccessTestPeer(DataAccess& data) : data_(data) {}

  SizeAndType Format(int32_t tagId, int32_t fieldId) {
    SizeAndType format;
    data_.GetDorvikSizeAndType(tagId, fieldId, format.type, format.size);
    return format;
  }
  contracts::TagValue Decode(int16_t type, const std::byte* record, TextBuffer text = {}) {
    return data_.ConvertDataBufferToTagValue(type, record, text);
  }
  int32_t Encode(std::byte* record, int16_t type, const contracts::TagValue& value, TextBuffer text = {}) {
    return data_.UpdateDataBufferWithTagValue(record, type, value, text);
  }
  // Encodes the value that values gives for item.
  int32_t EncodeFrom(std::byte* record, const IDANDFT& item, int16_t type, const contracts::TagValuesByIds& values,
                     TextBuffer text = {}) {
    DataAccess::ValueBatch batch;
    for (auto record = values.begin(); record != values.end(); ++record) {
      for (auto field = record->second.begin(); field != record->second.end(); ++field) {
        batch[record->first][field->first] = &field->second;
      }
    }
    return data_.SetDataBufferWithTagValue(record, item, type, batch, text);
  }
  BatchLayout LayOut(std::span<const IDANDFT> items) {
    std::vector<ERRBLOCK> typeErrors;
    return data_.LayOut(items, typeErrors);
  }

 private:
  DataAccess& data_;
};

}  // namespace vantrel::access

#endif  // VANTREL_TESTS_SUPPORT_DATA_ACCESS_TEST_PEER_H_
