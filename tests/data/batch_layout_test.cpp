#include "data/batch_layout.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

namespace vantrel::access {
namespace {

namespace api = dorvik::api;

// Chooses the format by the item's field tag, as the field definitions would.
SizeAndType ChooseByTag(const IDANDFT& item) {
  switch (item.FT) {
    case 1: return {api::kTypeInt32Quality, sizeof(LVANDQU)};
    case 2: return {api::kTypeRecordId, 4};
    case 3: return {api::kTypeInt16, 2};
    case 4: return {api::kTypeTextQuality, sizeof(TVANDQU)};
    case 5: return {api::kTypeDoubleQuality, sizeof(DVANDQU)};
    default: return {0, 0};
  }
}

TEST(BatchLayoutTest, MovesRecordPointersAndCountsToTheEndWithPadding) {
  const std::vector<IDANDFT> items{{100, 3}, {100, 2}, {100, 1}};
  const std::vector<int16_t> reported{-3, -1, -19};
  const std::vector<ERRBLOCK> errors(3);
  BatchLayout layout(items, reported, errors, ChooseByTag);
  ASSERT_EQ(layout.CallCount(), 3);
  EXPECT_EQ(layout.CallItems()[0].FT, 1);
  EXPECT_EQ(layout.CallItems()[1].FT, 2);
  EXPECT_EQ(layout.CallItems()[2].FT, 3);
  EXPECT_EQ(layout.CallTypes()[1], api::kTypeRecordId);
  EXPECT_EQ(layout.Entries()[1].offset, 16u);
  EXPECT_EQ(layout.Entries()[2].offset, 20u);
  EXPECT_EQ(layout.BufferSize(), 24u);
}

TEST(BatchLayoutTest, PadsCountsAfterAnEvenOrOddNumberOfPointers) {
  EXPECT_EQ(BatchLayout::PaddedInt16Bytes(0, 0), 0u);
  EXPECT_EQ(BatchLayout::PaddedInt16Bytes(1, 0), 8u);
  EXPECT_EQ(BatchLayout::PaddedInt16Bytes(4, 2), 8u);
  EXPECT_EQ(BatchLayout::PaddedInt16Bytes(0, 1), 4u);
  EXPECT_EQ(BatchLayout::PaddedInt16Bytes(2, 1), 4u);
  EXPECT_EQ(BatchLayout::PaddedInt16Bytes(3, 1), 12u);
  EXPECT_EQ(BatchLayout::PaddedInt16Bytes(7, 3), 20u);
}

TEST(BatchLayoutTest, LeavesOutRejectedItemsAndPlacesTextBuffers) {
  const std::vector<IDANDFT> items{{100, 5}, {100, 4}, {100, 1}, {100, 4}};
  const std::vector<int16_t> reported{-21, 12, -19, 0};
  std::vector<ERRBLOCK> errors(4);
  errors[2].ERRCODE = -5;
  BatchLayout layout(items, reported, errors, ChooseByTag);
  ASSERT_EQ(layout.CallCount(), 3);
  const auto& text = layout.Entries()[1];
  EXPECT_EQ(text.offset, sizeof(DVANDQU));
  EXPECT_EQ(text.text.size(), 16u);  // reported length plus 4
  EXPECT_EQ(layout.Entries()[2].text.size(), api::kHistoryTextSize);
  char* address = nullptr;
  int16_t capacity = 0;
  std::memcpy(&address, layout.Buffer() + text.offset + offsetof(TVANDQU, TEXT), sizeof(address));
  std::memcpy(&capacity, layout.Buffer() + text.offset + offsetof(TVANDQU, LENGTH), sizeof(capacity));
  EXPECT_EQ(address, text.text.data());
  EXPECT_EQ(capacity, 16);
  EXPECT_EQ(layout.BufferSize(), sizeof(DVANDQU) + 2 * sizeof(TVANDQU));
}

// The text buffers of a batch are slices of one zero-filled block: each as
// long as its capacity, none overlapping another, each record pointing at
// its own; laying out the next batch in the same layout starts afresh.
TEST(BatchLayoutTest, TextBuffersAreDisjointZeroFilledSlices) {
  BatchLayout layout;
  for (const std::vector<int16_t>& reported : {std::vector<int16_t>{7, -24, 40, 1, 0, 12},
                                              std::vector<int16_t>{3, 9}}) {
    const std::vector<IDANDFT> items(reported.size(), IDANDFT{100, 4});
    const std::vector<ERRBLOCK> errors(items.size());
    const std::vector<SizeAndType> formats(items.size(), ChooseByTag(items[0]));
    layout.Assign(items, reported, errors, formats);
    ASSERT_EQ(layout.Entries().size(), items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
      const TextBuffer text = layout.Entries()[i].text;
      ASSERT_EQ(text.size(), BatchLayout::TextCapacity(reported[i]));
      EXPECT_TRUE(std::all_of(text.begin(), text.end(), [](char c) { return c == '\0'; }));
      char* address = nullptr;
      std::memcpy(&address, layout.Buffer() + layout.Entries()[i].offset + offsetof(TVANDQU, TEXT), sizeof(address));
      EXPECT_EQ(address, text.data());
      for (std::size_t j = 0; j < i; ++j) {
        const TextBuffer other = layout.Entries()[j].text;
        EXPECT_TRUE(text.data() >= other.data() + other.size() || other.data() >= text.data() + text.size())
            << i << " overlaps " << j;
      }
      std::fill(text.begin(), text.end(), 'x');  // the next batch must get zeros again
    }
  }
}

TEST(BatchLayoutTest, EmptyWhenEveryItemIsLeftOut) {
  const std::vector<IDANDFT> items{{100, 9}};
  const std::vector<int16_t> reported{-19};
  const std::vector<ERRBLOCK> errors(1);
  BatchLayout layout(items, reported, errors, ChooseByTag);
  EXPECT_TRUE(layout.Empty());
  EXPECT_EQ(layout.CallCount(), 0);
}

}  // namespace
}  // namespace vantrel::access
