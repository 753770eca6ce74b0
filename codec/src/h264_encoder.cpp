#include "codec/h264_encoder.h"

#include <cmath>
#include <cstring>

#include "mp4/mp4_common.h"

extern "C" {
#include <x264.h>
}

VideoEncoder::~VideoEncoder() {
    if (m_enc != nullptr) x264_encoder_close(m_enc);
}

int VideoEncoder::Open(const EncoderSettings& s) {
    if (m_enc != nullptr || s.width <= 0 || s.height <= 0 || s.frameRate <= 0) return -1;
    x264_param_t p;
    if (s.keepDefaults || s.preset.empty()) {
        x264_param_default(&p);
    } else if (x264_param_default_preset(&p, s.preset.c_str(), nullptr) != 0) {
        return -1;
    }
    p.i_width = m_width = s.width;
    p.i_height = m_height = s.height;
    p.i_csp = X264_CSP_I420;
    // Whole-number rates exactly, others in thousandths.
    const double whole = std::round(s.frameRate);
    if (std::fabs(whole - s.frameRate) < 1e-6) {
        m_fpsNum = static_cast<uint32_t>(whole);
        m_fpsDen = 1;
    } else {
        m_fpsNum = static_cast<uint32_t>(std::lround(s.frameRate * 1000));
        m_fpsDen = 1000;
    }
    p.i_fps_num = m_fpsNum;
    p.i_fps_den = m_fpsDen;
    p.i_timebase_num = m_fpsDen;
    p.i_timebase_den = m_fpsNum;
    p.b_vfr_input = 0;
    p.i_keyint_max = s.keyInterval;
    if (!s.sceneCut) p.i_scenecut_threshold = 0;
    if (s.bitRateKbps > 0) {
        p.rc.i_rc_method = X264_RC_ABR;
        p.rc.i_bitrate = s.bitRateKbps;
    }
    p.i_threads = s.threads;
    p.b_repeat_headers = 0;
    p.b_annexb = 0;
    p.i_log_level = X264_LOG_NONE;
    if (!s.keepDefaults) {
        if (s.refs > 0) p.i_frame_reference = s.refs;
        if (s.bFrames >= 0) p.i_bframe = s.bFrames;
    }
    if (!s.keepDefaults && !s.profile.empty() &&
        x264_param_apply_profile(&p, s.profile.c_str()) != 0) {
        return -1;
    }
    m_enc = x264_encoder_open(&p);
    if (m_enc == nullptr) return -1;
    x264_nal_t* nals = nullptr;
    int count = 0;
    std::vector<uint8_t> sps, pps;
    if (x264_encoder_headers(m_enc, &nals, &count) >= 0) {
        for (int i = 0; i < count; ++i) {
            if (nals[i].i_payload <= 4) continue;
            std::vector<uint8_t> body(nals[i].p_payload + 4, nals[i].p_payload + nals[i].i_payload);
            if (nals[i].i_type == NAL_SPS) sps = body;
            if (nals[i].i_type == NAL_PPS) pps = body;
        }
    }
    if (sps.size() < 4 || pps.empty()) return -1;
    m_config = Mp4AvcConfig(sps, pps);
    return 0;
}

bool VideoEncoder::HasDelayed() const {
    return m_enc != nullptr && x264_encoder_delayed_frames(m_enc) > 0;
}

int VideoEncoder::Encode(const uint8_t* frame420, int64_t pts, EncodedPicture* out, bool forceKey) {
    if (m_enc == nullptr) return -1;
    x264_picture_t pic, got;
    x264_picture_init(&pic);
    x264_nal_t* nals = nullptr;
    int count = 0;
    int bytes = 0;
    if (frame420 != nullptr) {
        const size_t ysz = static_cast<size_t>(m_width) * m_height;
        const int cw = m_width / 2;
        pic.img.i_csp = X264_CSP_I420;
        pic.img.i_plane = 3;
        pic.img.plane[0] = const_cast<uint8_t*>(frame420);
        pic.img.plane[1] = pic.img.plane[0] + ysz;
        pic.img.plane[2] = pic.img.plane[1] + static_cast<size_t>(cw) * (m_height / 2);
        pic.img.i_stride[0] = m_width;
        pic.img.i_stride[1] = pic.img.i_stride[2] = cw;
        pic.i_pts = pts;
        if (forceKey) pic.i_type = X264_TYPE_IDR;
        bytes = x264_encoder_encode(m_enc, &nals, &count, &pic, &got);
    } else {
        bytes = x264_encoder_encode(m_enc, &nals, &count, nullptr, &got);
    }
    if (bytes < 0) return -1;
    if (bytes == 0 || count == 0) return 0;
    // The payloads of one picture lie one after the other.
    out->data.assign(nals[0].p_payload, nals[0].p_payload + bytes);
    out->pts = got.i_pts;
    out->dts = got.i_dts;
    out->key = got.b_keyframe != 0;
    return 1;
}
