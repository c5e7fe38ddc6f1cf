#pragma once
// Real videos for the tests, written with FFmpeg's encoders: an MPEG-4 stream in an MP4 or
// Matroska container, with a recording date when asked and a first frame of a known colour.
#include <QColor>
#include <QDateTime>
#include <QFile>
#include <QString>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/imgutils.h>
}

namespace VideoTest {

struct Spec
{
    int width = 160;
    int height = 96;
    int fps = 10;
    int frames = 25;           // 2.5 s at 10 fps
    QString creationTime;      // "2019-06-01T12:34:56.000000Z" or empty
    QColor firstFrame = Qt::red;
    QColor otherFrames = Qt::blue;
    double rotation = 0;       // display matrix, degrees
};

inline bool write(const QString &path, const Spec &spec, const char *container = "mp4")
{
    av_log_set_level(AV_LOG_QUIET);
    AVFormatContext *out = nullptr;
    if (avformat_alloc_output_context2(&out, nullptr, container, QFile::encodeName(path).constData()) < 0)
        return false;
    const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_MPEG4);
    AVStream *st = codec ? avformat_new_stream(out, nullptr) : nullptr;
    AVCodecContext *enc = codec ? avcodec_alloc_context3(codec) : nullptr;
    bool ok = st && enc;
    if (ok) {
        enc->width = spec.width;
        enc->height = spec.height;
        enc->pix_fmt = AV_PIX_FMT_YUV420P;
        enc->time_base = AVRational{1, spec.fps};
        enc->framerate = AVRational{spec.fps, 1};
        enc->gop_size = 5;
        enc->bit_rate = 400000;
        if (out->oformat->flags & AVFMT_GLOBALHEADER)
            enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        ok = avcodec_open2(enc, codec, nullptr) >= 0 && avcodec_parameters_from_context(st->codecpar, enc) >= 0;
        st->time_base = enc->time_base;
    }
    if (ok && !spec.creationTime.isEmpty())
        av_dict_set(&out->metadata, "creation_time", spec.creationTime.toUtf8().constData(), 0);
    if (ok && spec.rotation != 0) {
        auto *matrix = reinterpret_cast<int32_t *>(av_stream_new_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, 9 * sizeof(int32_t)));
        if (matrix)
            av_display_rotation_set(matrix, spec.rotation);
    }
    ok = ok && avio_open(&out->pb, QFile::encodeName(path).constData(), AVIO_FLAG_WRITE) >= 0
         && avformat_write_header(out, nullptr) >= 0;
    AVFrame *frame = av_frame_alloc();
    AVPacket *pkt = av_packet_alloc();
    auto drain = [&] {
        while (avcodec_receive_packet(enc, pkt) == 0) {
            av_packet_rescale_ts(pkt, enc->time_base, st->time_base);
            pkt->stream_index = st->index;
            av_interleaved_write_frame(out, pkt);
        }
    };
    if (ok) {
        frame->format = enc->pix_fmt;
        frame->width = enc->width;
        frame->height = enc->height;
        ok = av_frame_get_buffer(frame, 0) >= 0;
    }
    for (int i = 0; ok && i < spec.frames; ++i) {
        ok = av_frame_make_writable(frame) >= 0;
        const QColor c = i == 0 ? spec.firstFrame : spec.otherFrames;
        // RGB to limited-range BT.601 YUV.
        const int y = int(16 + 0.257 * c.red() + 0.504 * c.green() + 0.098 * c.blue());
        const int u = int(128 - 0.148 * c.red() - 0.291 * c.green() + 0.439 * c.blue());
        const int v = int(128 + 0.439 * c.red() - 0.368 * c.green() - 0.071 * c.blue());
        for (int row = 0; row < spec.height; ++row)
            memset(frame->data[0] + row * frame->linesize[0], y, size_t(spec.width));
        for (int row = 0; row < spec.height / 2; ++row) {
            memset(frame->data[1] + row * frame->linesize[1], u, size_t(spec.width / 2));
            memset(frame->data[2] + row * frame->linesize[2], v, size_t(spec.width / 2));
        }
        frame->pts = i;
        ok = avcodec_send_frame(enc, frame) >= 0;
        drain();
    }
    if (ok) {
        avcodec_send_frame(enc, nullptr);
        drain();
        ok = av_write_trailer(out) >= 0;
    }
    av_packet_free(&pkt);
    av_frame_free(&frame);
    avcodec_free_context(&enc);
    if (out->pb)
        avio_closep(&out->pb);
    avformat_free_context(out);
    return ok;
}

} // namespace VideoTest
