// The H.264 joiner on field pictures and long-term references, which no
// encoder at hand writes: the slice headers are written here and the joined
// stream is read back by the library's own header reader (the trace_headers
// bitstream filter). Frame pictures from real encoders are covered by the
// layout rows, which decode the joined output.
#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavutil/log.h>
}

#include "codec/h264_join.h"

namespace {

/* An RBSP written bit by bit, made a NAL unit with start code. */
struct Rbsp {
    std::vector<uint8_t> b;
    int n = 0;
    void u(uint32_t v, int len)
    {
        for (int i = len - 1; i >= 0; i--, n++) {
            if (n % 8 == 0)
                b.push_back(0);
            b.back() |= ((v >> i) & 1) << (7 - n % 8);
        }
    }
    void ue(uint32_t v)
    {
        int len = 0;
        while (((uint64_t)v + 1) >> (len + 1))
            len++;
        u(0, len);
        u(v + 1, len + 1);
    }
    std::vector<uint8_t> nal(int ref, int type)
    {
        u(1, 1);
        while (n % 8)
            u(0, 1);
        std::vector<uint8_t> out = {0, 0, 0, 1, (uint8_t)(ref << 5 | type)};
        for (size_t i = 0, zeros = 0; i < b.size(); zeros = b[i] ? 0 : zeros + 1, i++) {
            if (zeros >= 2 && b[i] <= 3) {
                out.push_back(3);
                zeros = 0;
            }
            out.push_back(b[i]);
        }
        return out;
    }
};

/* 1920x1080 interlaced (field pictures allowed), frame_num in 4 bits, pic_order_cnt_lsb in 6, CAVLC. */
std::vector<uint8_t> parameter_sets()
{
    Rbsp s;
    s.u(77, 8), s.u(0, 8), s.u(40, 8), s.ue(0), s.ue(0), s.ue(0), s.ue(2), s.ue(4), s.u(0, 1), s.ue(119), s.ue(33);
    s.u(0, 1), s.u(1, 1), s.u(1, 1), s.u(0, 1), s.u(0, 1);  // field coding, MBAFF, 8x8 inference, no crop, no VUI
    Rbsp p;
    p.ue(0), p.ue(0), p.u(0, 2), p.ue(0), p.ue(0), p.ue(0), p.u(0, 3), p.ue(0), p.ue(0), p.ue(0), p.u(4, 3);
    std::vector<uint8_t> out = s.nal(3, 7), pps = p.nal(3, 8);
    out.insert(out.end(), pps.begin(), pps.end());
    return out;
}

/* A field slice: I (type 7) or P (type 5), with memory management operations {op, value[, value]}. */
std::vector<uint8_t> field_slice(int type, int frame_num, int bottom, int poc_lsb,
                                 const std::vector<std::vector<uint32_t>> &ops = {})
{
    Rbsp r;
    r.ue(0), r.ue(type), r.ue(0), r.u(frame_num, 4), r.u(1, 1), r.u(bottom, 1), r.u(poc_lsb, 6);
    if (type == 5)
        r.u(0, 1), r.u(0, 1);  // no num_ref_idx override, no list modification
    r.u(!ops.empty(), 1);
    for (const auto &op : ops)
        for (uint32_t v : op)
            r.ue(v);
    if (!ops.empty())
        r.ue(0);
    r.ue(0), r.ue(1);                  // slice_qp_delta, deblocking off
    r.u(0x5A5A5, 20);                  // slice data
    return r.nal(2, 1);
}

std::string traced;

void capture(void *avcl, int, const char *fmt, va_list vl)
{
    const AVClass *cls = avcl ? *(const AVClass **)avcl : nullptr;
    char line[1024];
    if (!cls || std::string(cls->item_name(avcl)) != "trace_headers")
        return;
    vsnprintf(line, sizeof(line), fmt, vl);
    traced += line;
}

/* "name=value" of the fields the joiner writes, per packet, as the library reads them. */
std::vector<std::string> read_back(const std::vector<std::vector<uint8_t>> &packets)
{
    const char *names[] = {"nal_unit_type", "frame_num", "idr_pic_id", "pic_order_cnt_lsb",
                           "gaps_in_frame_num_allowed_flag", "long_term_reference_flag",
                           "memory_management_control_operation", "difference_of_pic_nums_minus1",
                           "long_term_pic_num", "long_term_frame_idx"};
    std::vector<std::string> out;
    AVBSFContext *bsf = nullptr;
    EXPECT_GE(av_bsf_alloc(av_bsf_get_by_name("trace_headers"), &bsf), 0);
    bsf->par_in->codec_id = AV_CODEC_ID_H264;
    EXPECT_GE(av_bsf_init(bsf), 0);
    av_log_set_callback(capture);
    for (const auto &data : packets) {
        AVPacket *pkt = av_packet_alloc();
        av_new_packet(pkt, (int)data.size());
        memcpy(pkt->data, data.data(), data.size());
        traced.clear();
        EXPECT_GE(av_bsf_send_packet(bsf, pkt), 0);
        EXPECT_GE(av_bsf_receive_packet(bsf, pkt), 0);
        std::string fields;
        for (size_t at = 0, end; (end = traced.find('\n', at)) != std::string::npos; at = end + 1) {
            char name[64];
            int value;
            std::string line = traced.substr(at, end - at);
            if (sscanf(line.c_str(), "%*d %63s %*s = %d", name, &value) != 2)
                continue;
            for (const char *n : names)
                if (!strcmp(n, name))
                    fields += (fields.empty() ? "" : " ") + std::string(name) + "=" + std::to_string(value);
        }
        out.push_back(fields);
        av_packet_free(&pkt);
    }
    av_log_set_callback(av_log_default_callback);
    av_bsf_free(&bsf);
    return out;
}

TEST(H264Join, FieldPicturesAndLongTermReferencesAfterANonIdrKeyFrame)
{
    std::vector<std::vector<uint8_t>> in = {
        field_slice(7, 5, 0, 20),                        // key frame: I top field, frame 5
        field_slice(5, 5, 1, 21, {{1, 0}, {1, 3}}),      // its P bottom field: unmarks the top field, and a
                                                         // field of frame 3, before the key frame
        field_slice(5, 6, 0, 24, {{2, 3}, {6, 1}}),      // a long-term field not assigned since; makes itself one
        field_slice(5, 7, 0, 28, {{2, 3}, {1, 7}, {1, 2}}),  // that one; frame 3 again; frame 6
    };
    std::vector<uint8_t> sets = parameter_sets();
    in[0].insert(in[0].begin(), sets.begin(), sets.end());

    h264_join j;
    h264_join_init(&j);
    std::vector<std::vector<uint8_t>> out;
    for (size_t i = 0; i < in.size(); i++) {
        AVPacket *pkt = av_packet_alloc();
        ASSERT_GE(av_new_packet(pkt, (int)in[i].size()), 0);
        memcpy(pkt->data, in[i].data(), in[i].size());
        pkt->flags = i == 0 ? AV_PKT_FLAG_KEY : 0;
        if (i == 0)
            h264_join_switch(&j);
        ASSERT_EQ(h264_join_packet(&j, pkt), 0);
        out.emplace_back(pkt->data, pkt->data + pkt->size);
        av_packet_free(&pkt);
    }
    EXPECT_EQ(j.joined, 1);
    h264_join_uninit(&j);

    EXPECT_EQ(read_back(out), (std::vector<std::string>{
        "nal_unit_type=7 gaps_in_frame_num_allowed_flag=1 nal_unit_type=8 nal_unit_type=5 frame_num=0 idr_pic_id=1 "
        "pic_order_cnt_lsb=0 long_term_reference_flag=0",
        "nal_unit_type=1 frame_num=0 pic_order_cnt_lsb=1 memory_management_control_operation=1 "
        "difference_of_pic_nums_minus1=0 memory_management_control_operation=0",
        "nal_unit_type=1 frame_num=1 pic_order_cnt_lsb=4 memory_management_control_operation=6 "
        "long_term_frame_idx=1 memory_management_control_operation=0",
        "nal_unit_type=1 frame_num=2 pic_order_cnt_lsb=8 memory_management_control_operation=2 long_term_pic_num=3 "
        "memory_management_control_operation=1 difference_of_pic_nums_minus1=2 memory_management_control_operation=0",
    }));
}

}  // namespace
