// The transfers between image records and the line grid: the transform of each direction, the
// mapping of a destination pixel to its source record, and the transfer by rows or by bands.
#include <algorithm>
#include <cmath>

#include "sorting/Info.h"

namespace korvane::utils {

void SetUpTransform(Info& info, int32_t direction) {
    TransferTransform& t = info.transform;
    t.direction = direction;
    if (direction == 1) {
        t.sourceWidth = info.imageWidth;
        t.sourceHeight = info.imageHeight;
        t.destWidth = info.lineLength;
        t.destHeight = info.lineCount;
        t.radians = Radians(info.settings.angle);
        t.factor = info.derived.scale;
    } else {
        t.sourceWidth = info.lineLength;
        t.sourceHeight = info.lineCount;
        t.destWidth = info.imageWidth;
        t.destHeight = info.imageHeight;
        t.radians = -Radians(info.settings.angle);
        t.factor = 1.0f / info.derived.scale;
    }
    t.destCentreX = t.destWidth / 2;
    t.destCentreY = t.destHeight / 2;
    t.sourceCentreX = t.sourceWidth / 2;
    t.sourceCentreY = t.sourceHeight / 2;
}

TransferMapping::TransferMapping(const Info& info) {
    const TransferTransform& tf = info.transform;
    t = 1.0f / tf.factor;
    const float s = std::sin(tf.radians);
    const float k = std::cos(tf.radians);
    kt = k * t;
    st = s * t;
    rotated = info.settings.angle != 0.0f;
    scaled = info.derived.scale != 1.0f;
    destCentreY = static_cast<float>(tf.destCentreY);
    dcx = static_cast<float>(tf.destCentreX);
    scx = static_cast<float>(tf.sourceCentreX);
    scy = static_cast<float>(tf.sourceCentreY);
    sourceWidth = tf.sourceWidth;
    sourceHeight = tf.sourceHeight;
}

namespace {

// The transform of one transfer in the form the copy loop uses. Everything the loop reads is a
// copy here: a record store may alias any object (the record holds a byte), which would otherwise
// reload the settings every pixel.
struct RowTransfer {
    explicit RowTransfer(Info& info) : map(info) {
        const TransferTransform& tf = info.transform;
        destWidth = tf.destWidth;
        destHeight = tf.destHeight;
        const bool toLines = tf.direction == 1;
        source = (toLines ? info.imageRecords : info.lineRecords).data();
        dest = (toLines ? info.lineRecords : info.imageRecords).data();
        keepBackground = !toLines && !info.settings.affectBackground;
    }

    // Destination records [firstColumn, endColumn) of one row.
    void Run(int32_t row, int32_t firstColumn, int32_t endColumn) const {
        PixelRecord* const out = dest + static_cast<int64_t>(row) * destWidth;
        for (int32_t x = firstColumn; x < endColumn; ++x) {
            int32_t sx;
            int32_t sy;
            map.SourceOf(x, row, sx, sy);
            const PixelRecord& from = source[sx + static_cast<int64_t>(sy) * map.sourceWidth];
            if (keepBackground && from.spanWeight != 1.0f) {
                continue;
            }
            out[x] = from;
        }
    }

    TransferMapping map;
    int32_t destWidth = 0;
    int32_t destHeight = 0;
    const PixelRecord* source = nullptr;
    PixelRecord* dest = nullptr;
    bool keepBackground = false;
};

}  // namespace

bool TransferRow(Info& info, int32_t row) {
    const RowTransfer transfer(info);
    transfer.Run(row, 0, transfer.destWidth);
    return true;
}

int32_t TransferBandCount(const Info& info) {
    const int64_t rows = std::max(info.transform.destHeight, 0);
    return static_cast<int32_t>((rows + kTransferBandRows - 1) / kTransferBandRows);
}

bool TransferBand(Info& info, int32_t band) {
    const RowTransfer transfer(info);
    const int64_t first = static_cast<int64_t>(band) * kTransferBandRows;
    const int64_t end = std::min<int64_t>(first + kTransferBandRows, transfer.destHeight);
    for (int64_t column = 0; column < transfer.destWidth; column += kTransferBlockColumns) {
        const auto blockEnd = static_cast<int32_t>(
            std::min<int64_t>(column + kTransferBlockColumns, transfer.destWidth));
        for (int64_t row = first; row < end; ++row) {
            transfer.Run(static_cast<int32_t>(row), static_cast<int32_t>(column), blockEnd);
        }
    }
    return true;
}

}  // namespace korvane::utils
