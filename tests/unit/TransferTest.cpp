// The banded transfers write exactly what the row-by-row transfer writes, in both directions.
#include <random>

#include "SortingTestSupport.h"
#include "sorting/Executor.h"

namespace korvane::utils::test {
namespace {

std::vector<PixelRecord> Traced(int32_t width, int32_t height, std::mt19937& g) {
    std::vector<PixelRecord> records(static_cast<size_t>(width) * height);
    for (size_t i = 0; i < records.size(); ++i) {
        records[i] = Rec(static_cast<float>(i), static_cast<float>(g() % 7), 0.0f);
        records[i].spanWeight = 1.0f;  // the background, unless a span covers it on the way back
    }
    return records;
}

TEST(Transfer, BandsWriteWhatRowsWrite) {
    std::mt19937 g(5);
    SerialExecutor serial;
    const float angles[] = {0.0f, 33.0f, 90.0f, -127.5f, 181.0f};
    const float resolutions[] = {1.0f, 0.6f};
    const int32_t sizes[][2] = {{37, 23}, {1, 70}, {131, 3}, {64, 33}};
    for (const float angle : angles) {
        for (const float resolution : resolutions) {
            for (const auto& size : sizes) {
                for (const bool background : {true, false}) {
                    SCOPED_TRACE(testing::Message() << angle << "° res " << resolution << " " << size[0] << "x"
                                                    << size[1] << " background " << background);
                    KRVN_Params p;
                    p.angle = angle;
                    p.resolution = resolution;
                    p.affect_background = background;
                    const auto image = Traced(size[0], size[1], g);
                    Info banded = Prepared(image, size[0], p);

                    if (banded.transform.direction != 1) {
                        // No resampling: the grid is the image's records, lent rather than transferred.
                        ASSERT_EQ(FirstDifference(banded.lineRecords, image), -1);
                        continue;
                    }
                    // Image to grid: rebuilt row by row, on one thread.
                    Info rows = banded;
                    std::fill(rows.lineRecords.begin(), rows.lineRecords.end(), PixelRecord{});
                    ASSERT_TRUE(RunRowsInParallel(TransferRow, rows, rows.lineCount, serial));
                    ASSERT_EQ(FirstDifference(rows.lineRecords, banded.lineRecords), -1);

                    // Grid to image, some records marked as sorted.
                    for (auto& rec : banded.lineRecords) {
                        rec.spanWeight = g() % 2 == 0 ? 1.0f : 0.5f;
                        rec.color.blue = static_cast<float>(g() % 5);
                    }
                    rows = banded;
                    ASSERT_TRUE(TakeOutPixels(banded));
                    rows.transform = banded.transform;
                    ASSERT_TRUE(RunRowsInParallel(TransferRow, rows, rows.imageHeight, serial));
                    ASSERT_EQ(FirstDifference(rows.imageRecords, banded.imageRecords), -1);
                }
            }
        }
    }
}

}  // namespace
}  // namespace korvane::utils::test
