// Bare libjpeg-turbo (TurboJPEG, planar 4:2:2) on the board's fields: the
// plain baseline the simulated codecs are measured against.
#pragma once

#include <turbojpeg.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <vector>

#include "sim/video_io.h"

namespace bare {

using Stream = std::vector<unsigned char>;

// The libjpeg quality whose table scaling equals a codec scale (1/64 units
// of the loaded tables, which are libjpeg's quality-50 tables).
inline int QualityForScale(double scale)
{
    const double percent = scale * 100.0 / 64.0;
    const long quality = percent <= 100 ? std::lround((200 - percent) / 2) : std::lround(5000 / percent);
    return int(std::clamp(quality, 1L, 100L));
}

inline double SecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Compresses every field 'passes' times; fields a second. 'streams' gets
// each field's stream.
inline double EncodeRate(const std::vector<const sim::VideoField*>& fields, int quality, int passes,
                         std::vector<Stream>* streams = nullptr)
{
    if (fields.empty()) return 0;
    const int lines = fields[0]->Lines();
    int strides[3] = {sim::VideoGeometry::kWidth, sim::VideoGeometry::kChromaWidth,
                      sim::VideoGeometry::kChromaWidth};
    tjhandle c = tjInitCompress();
    Stream buffer(tjBufSize(sim::VideoGeometry::kWidth, lines, TJSAMP_422));
    if (streams) streams->assign(fields.size(), {});
    const auto start = std::chrono::steady_clock::now();
    for (int pass = 0; pass < passes; ++pass) {
        for (size_t i = 0; i < fields.size(); ++i) {
            const unsigned char* planes[3] = {fields[i]->Y(), fields[i]->Cb(), fields[i]->Cr()};
            unsigned char* out = buffer.data();
            unsigned long size = buffer.size();
            tjCompressFromYUVPlanes(c, planes, sim::VideoGeometry::kWidth, strides, lines, TJSAMP_422, &out, &size,
                                    quality, TJFLAG_NOREALLOC);
            if (streams && pass == passes - 1) (*streams)[i].assign(buffer.begin(), buffer.begin() + long(size));
        }
    }
    const double seconds = SecondsSince(start);
    tjDestroy(c);
    return double(fields.size()) * passes / seconds;
}

// Decompresses every stream 'passes' times into a field of geometry 'g';
// fields a second.
inline double DecodeRate(const std::vector<Stream>& streams, const sim::VideoGeometry& g, int passes)
{
    if (streams.empty()) return 0;
    sim::VideoField out(g);
    unsigned char* planes[3] = {out.Y(), out.Cb(), out.Cr()};
    int strides[3] = {sim::VideoGeometry::kWidth, sim::VideoGeometry::kChromaWidth,
                      sim::VideoGeometry::kChromaWidth};
    tjhandle d = tjInitDecompress();
    const auto start = std::chrono::steady_clock::now();
    for (int pass = 0; pass < passes; ++pass)
        for (const Stream& s : streams)
            tjDecompressToYUVPlanes(d, s.data(), s.size(), planes, sim::VideoGeometry::kWidth, strides, out.Lines(),
                                    0);
    const double seconds = SecondsSince(start);
    tjDestroy(d);
    return double(streams.size()) * passes / seconds;
}

}  // namespace bare
