#include "support/libjpeg.h"

// clang-format off
#include <cstdio>  // jpeglib.h needs FILE
#include <jpeglib.h>
// clang-format on

#include <csetjmp>
#include <cstdlib>

namespace testutil {

namespace {

struct TurboError {
    jpeg_error_mgr mgr;
    jmp_buf jump;
    int warnings = 0;
};

void TurboErrorExit(j_common_ptr cinfo) {
    longjmp(reinterpret_cast<TurboError*>(cinfo->err)->jump, 1);
}
// Counts warnings without printing them (the default handler would print and count).
void TurboWarning(j_common_ptr cinfo, int level) {
    if (level < 0) ++reinterpret_cast<TurboError*>(cinfo->err)->warnings;
}

uint8_t Sample(int x, int y, int c, uint32_t seed) {
    const uint32_t n = (static_cast<uint32_t>(x) * 73856093u) ^
                       (static_cast<uint32_t>(y) * 19349663u) ^
                       (seed + static_cast<uint32_t>(c) * 83492791u);
    const int base = (x * (3 + c) + y * (5 - c)) & 255;
    return static_cast<uint8_t>(((x / 7 + y / 5) & 1 ? base : 255 - base) ^ (n >> 29));
}

// A decompressor whose errors jump to `err.jump` (the caller's setjmp, before ReadHeader)
// and whose warnings are counted; destroyed with it.
struct Decompressor {
    jpeg_decompress_struct cinfo;
    TurboError err;

    Decompressor() {
        cinfo.err = jpeg_std_error(&err.mgr);
        err.mgr.error_exit = TurboErrorExit;
        err.mgr.emit_message = TurboWarning;
        jpeg_create_decompress(&cinfo);
    }
    ~Decompressor() { jpeg_destroy_decompress(&cinfo); }
    Decompressor(const Decompressor&) = delete;
    Decompressor& operator=(const Decompressor&) = delete;

    void ReadHeader(const Bytes& jpeg) {
        jpeg_mem_src(&cinfo, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
        jpeg_read_header(&cinfo, TRUE);
    }
    // True when the whole decode went without a warning.
    bool Finish() {
        jpeg_finish_decompress(&cinfo);
        return err.warnings == 0;
    }
};

bool DecodeInterleaved(const Bytes& jpeg, J_COLOR_SPACE space, Interleaved* out) {
    Decompressor d;
    if (setjmp(d.err.jump)) return false;
    d.ReadHeader(jpeg);
    jpeg_decompress_struct& cinfo = d.cinfo;
    cinfo.out_color_space = space;
    jpeg_start_decompress(&cinfo);
    out->w = static_cast<int>(cinfo.output_width);
    out->h = static_cast<int>(cinfo.output_height);
    out->px.assign(static_cast<size_t>(out->w) * out->h * 3, 0);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = out->px.data() + static_cast<size_t>(cinfo.output_scanline) * out->w * 3;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    return d.Finish();
}

}  // namespace

Bytes EncodeTurbo(const TurboOptions& o, uint32_t seed) {
    jpeg_compress_struct cinfo;
    TurboError err;
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = TurboErrorExit;
    unsigned char* out = nullptr;
    unsigned long outSize = 0;
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&cinfo);
        std::free(out);
        return {};
    }
    jpeg_create_compress(&cinfo);
    jpeg_mem_dest(&cinfo, &out, &outSize);
    cinfo.image_width = static_cast<JDIMENSION>(o.width);
    cinfo.image_height = static_cast<JDIMENSION>(o.height);
    cinfo.input_components = o.components;
    cinfo.in_color_space = o.components == 3 ? JCS_YCbCr : JCS_GRAYSCALE;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, o.quality, TRUE);
    if (o.components == 3) {
        cinfo.comp_info[0].h_samp_factor = o.h;
        cinfo.comp_info[0].v_samp_factor = o.v;
    }
    cinfo.restart_interval = static_cast<unsigned>(o.restart);
    if (o.progressive) jpeg_simple_progression(&cinfo);
    cinfo.arith_code = o.arithmetic ? TRUE : FALSE;
    std::vector<jpeg_scan_info> scans;
    if (o.separateScans) {
        for (int c = 0; c < o.components; ++c) scans.push_back({1, {c, 0, 0, 0}, 0, 63, 0, 0});
        cinfo.scan_info = scans.data();
        cinfo.num_scans = o.components;
    }
    cinfo.write_JFIF_header = o.app1.empty() ? TRUE : FALSE;
    jpeg_start_compress(&cinfo, TRUE);
    for (const Bytes& a : o.app1) {
        jpeg_write_marker(&cinfo, JPEG_APP0 + 1, a.data(), static_cast<unsigned>(a.size()));
    }
    std::vector<uint8_t> row(static_cast<size_t>(o.width * o.components));
    while (cinfo.next_scanline < cinfo.image_height) {
        const int y = static_cast<int>(cinfo.next_scanline);
        for (int x = 0; x < o.width; ++x) {
            for (int c = 0; c < o.components; ++c)
                row[x * o.components + c] = Sample(x, y, c, seed);
        }
        JSAMPROW rp = row.data();
        jpeg_write_scanlines(&cinfo, &rp, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    Bytes bytes(out, out + outSize);
    std::free(out);
    return bytes;
}

bool DecodeTurboRaw(const Bytes& jpeg, RawPlanes* out) {
    Decompressor d;
    if (setjmp(d.err.jump)) return false;
    d.ReadHeader(jpeg);
    jpeg_decompress_struct& cinfo = d.cinfo;
    cinfo.raw_data_out = TRUE;
    cinfo.out_color_space = cinfo.jpeg_color_space;
    jpeg_start_decompress(&cinfo);
    const int nc = cinfo.num_components;
    const int imcuRows = static_cast<int>((cinfo.output_height + cinfo.max_v_samp_factor * 8 - 1) /
                                          (cinfo.max_v_samp_factor * 8));
    std::vector<std::vector<JSAMPROW>> ptrs(nc);
    for (int c = 0; c < nc; ++c) {
        const jpeg_component_info& ci = cinfo.comp_info[c];
        out->widths[c] = static_cast<int>(ci.width_in_blocks * 8);
        out->rows[c] = imcuRows * ci.v_samp_factor * 8;
        out->p[c].assign(static_cast<size_t>(out->widths[c]) * out->rows[c], 0);
    }
    JSAMPARRAY arrays[3];
    for (int r = 0; r < imcuRows; ++r) {
        for (int c = 0; c < nc; ++c) {
            const int n = cinfo.comp_info[c].v_samp_factor * 8;
            ptrs[c].resize(n);
            for (int i = 0; i < n; ++i) {
                ptrs[c][i] = out->p[c].data() + static_cast<size_t>(r * n + i) * out->widths[c];
            }
            arrays[c] = ptrs[c].data();
        }
        jpeg_read_raw_data(&cinfo, arrays, static_cast<JDIMENSION>(cinfo.max_v_samp_factor * 8));
    }
    return d.Finish();
}

bool DecodeTurboRgb(const Bytes& jpeg, Interleaved* out) {
    return DecodeInterleaved(jpeg, JCS_RGB, out);
}

bool DecodeTurboYcc(const Bytes& jpeg, Interleaved* out) {
    return DecodeInterleaved(jpeg, JCS_YCbCr, out);
}

}  // namespace testutil
