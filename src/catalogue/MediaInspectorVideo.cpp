// Videos through FFmpeg's libraries: container metadata (libavformat) and the first frame
// (libavcodec, libswscale), each under a deadline that the library checks while it works.
#include "catalogue/MediaInspector.h"

#include "core/LGLog.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QTimeZone>
#include <QTransform>
#include <cmath>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

namespace MediaInspector {
namespace {

// The container demuxers of the video names the scanner looks at. Anything else (playlists,
// concatenation lists, image sequences, raw streams) is refused, and so is any protocol but
// a local file: a file in a watched folder must not make the reader open other files or
// addresses.
const char *const kDemuxers = "mov,mp4,m4a,3gp,3g2,mj2,avi,matroska,webm,mpegts,mpeg,asf";

void quietOnce()
{
    static const bool done = [] {
        av_log_set_level(AV_LOG_QUIET);
        return true;
    }();
    Q_UNUSED(done);
}

int interruptWhenExpired(void *opaque)
{
    return static_cast<QDeadlineTimer *>(opaque)->hasExpired() ? 1 : 0;
}

struct FormatCloser
{
    void operator()(AVFormatContext *c) const { avformat_close_input(&c); }
};
using Format = std::unique_ptr<AVFormatContext, FormatCloser>;

// Opens the container; null when it is not one of ours or the budget ran out.
Format openContainer(const QString &path, QDeadlineTimer *deadline)
{
    quietOnce();
    AVFormatContext *ctx = avformat_alloc_context();
    if (!ctx)
        return nullptr;
    ctx->interrupt_callback.callback = interruptWhenExpired;
    ctx->interrupt_callback.opaque = deadline;
    AVDictionary *options = nullptr;
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    av_dict_set(&options, "format_whitelist", kDemuxers, 0);
    // Enough to find the streams of any real video; a crafted one cannot make it read more.
    av_dict_set(&options, "probesize", "5000000", 0);
    av_dict_set(&options, "analyzeduration", "5000000", 0);
    const QByteArray native = QFile::encodeName(path);
    // "file:" keeps a name with a colon from being read as another protocol's address.
    const QByteArray url = "file:" + native;
    const int rc = avformat_open_input(&ctx, url.constData(), nullptr, &options);
    av_dict_free(&options);
    if (rc < 0)
        return nullptr; // ctx is freed by avformat_open_input on failure
    return Format(ctx);
}

QDateTime parseRecordedDate(const char *text)
{
    if (!text || !*text)
        return {};
    const QString s = QString::fromUtf8(text).trimmed();
    QDateTime d = QDateTime::fromString(s, Qt::ISODateWithMs);
    if (!d.isValid())
        d = QDateTime::fromString(s, Qt::ISODate);
    if (!d.isValid()) {
        // "2019-06-01 12:00:00" (some muxers write no T and no zone: taken as UTC)
        d = QDateTime::fromString(s.left(19), QStringLiteral("yyyy-MM-dd HH:mm:ss"));
        if (d.isValid())
            d.setTimeZone(QTimeZone::utc());
    }
    // Cameras without a clock write the container's epoch (1904 or 1970).
    if (!d.isValid() || d.date().year() <= 1970)
        return {};
    return d;
}

QDateTime recordedDate(AVFormatContext *ctx)
{
    // The camera's own local date (with its offset) first, then the container's creation time.
    for (const char *key : {"com.apple.quicktime.creationdate", "creation_time", "date"}) {
        if (const AVDictionaryEntry *e = av_dict_get(ctx->metadata, key, nullptr, 0))
            if (QDateTime d = parseRecordedDate(e->value); d.isValid())
                return d;
    }
    for (unsigned i = 0; i < ctx->nb_streams; ++i)
        if (const AVDictionaryEntry *e = av_dict_get(ctx->streams[i]->metadata, "creation_time", nullptr, 0))
            if (QDateTime d = parseRecordedDate(e->value); d.isValid())
                return d;
    return {};
}

} // namespace

VideoInfo videoInfo(const QString &path, int budgetMs)
{
    VideoInfo info;
    QDeadlineTimer deadline(budgetMs);
    Format ctx = openContainer(path, &deadline);
    if (!ctx) {
        info.overBudget = deadline.hasExpired();
        return info;
    }
    if (ctx->duration == AV_NOPTS_VALUE || ctx->duration <= 0)
        avformat_find_stream_info(ctx.get(), nullptr);
    info.overBudget = deadline.hasExpired();
    info.readable = !info.overBudget;
    if (ctx->duration != AV_NOPTS_VALUE && ctx->duration > 0) {
        const double seconds = double(ctx->duration) / AV_TIME_BASE;
        if (std::isfinite(seconds) && seconds < 1e7)
            info.durationSeconds = seconds;
    }
    info.recorded = recordedDate(ctx.get());
    if (info.overBudget)
        LGLogError(QStringLiteral("SCANNER: Gave up reading the video %1 after %2 ms").arg(path).arg(budgetMs));
    return info;
}

QImage videoFirstFrame(const QString &path, int maxPixels, int budgetMs)
{
    QDeadlineTimer deadline(budgetMs);
    Format ctx = openContainer(path, &deadline);
    if (!ctx || maxPixels <= 0)
        return {};
    if (avformat_find_stream_info(ctx.get(), nullptr) < 0 && deadline.hasExpired())
        return {};
    const AVCodec *codec = nullptr;
    const int streamIndex = av_find_best_stream(ctx.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
    if (streamIndex < 0 || !codec)
        return {};
    AVStream *stream = ctx->streams[streamIndex];

    auto freeCodec = [](AVCodecContext *c) { avcodec_free_context(&c); };
    std::unique_ptr<AVCodecContext, decltype(freeCodec)> dec(avcodec_alloc_context3(codec), freeCodec);
    if (!dec || avcodec_parameters_to_context(dec.get(), stream->codecpar) < 0)
        return {};
    dec->thread_count = 1;
    if (avcodec_open2(dec.get(), codec, nullptr) < 0)
        return {};

    auto freePacket = [](AVPacket *p) { av_packet_free(&p); };
    auto freeFrame = [](AVFrame *f) { av_frame_free(&f); };
    std::unique_ptr<AVPacket, decltype(freePacket)> packet(av_packet_alloc(), freePacket);
    std::unique_ptr<AVFrame, decltype(freeFrame)> frame(av_frame_alloc(), freeFrame);
    if (!packet || !frame)
        return {};

    bool got = false;
    bool flushed = false;
    // A first picture comes within a few packets; a file that never yields one ends here.
    for (int packets = 0; !got && packets < 2000 && !deadline.hasExpired();) {
        int rc = avcodec_receive_frame(dec.get(), frame.get());
        if (rc == 0) {
            got = true;
            break;
        }
        if (rc != AVERROR(EAGAIN) || flushed)
            break;
        rc = av_read_frame(ctx.get(), packet.get());
        if (rc < 0) {
            avcodec_send_packet(dec.get(), nullptr); // drain what the decoder holds
            flushed = true;
            continue;
        }
        if (packet->stream_index == streamIndex) {
            ++packets;
            avcodec_send_packet(dec.get(), packet.get());
        }
        av_packet_unref(packet.get());
    }
    if (!got || frame->width <= 0 || frame->height <= 0 || frame->width > 16384 || frame->height > 16384)
        return {};

    const QSize source(frame->width, frame->height);
    const QSize target = source.width() > maxPixels || source.height() > maxPixels
                             ? source.scaled(maxPixels, maxPixels, Qt::KeepAspectRatio)
                             : source;
    const int outW = qMax(1, target.width());
    const int outH = qMax(1, target.height());
    SwsContext *sws = sws_getContext(source.width(), source.height(), AVPixelFormat(frame->format), outW, outH,
                                     AV_PIX_FMT_RGB32, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!sws)
        return {};
    // swscale's vector code writes whole blocks of pixels past the end of a row: it gets rows
    // padded to a multiple of 32 pixels (and a spare row), and the image is cut out afterwards.
    uint8_t *dst[4] = {nullptr, nullptr, nullptr, nullptr};
    int dstStride[4] = {0, 0, 0, 0};
    if (av_image_alloc(dst, dstStride, FFALIGN(outW, 32), outH + 1, AV_PIX_FMT_RGB32, 64) < 0) {
        sws_freeContext(sws);
        return {};
    }
    const int rows = sws_scale(sws, frame->data, frame->linesize, 0, frame->height, dst, dstStride);
    sws_freeContext(sws);
    QImage image;
    if (rows > 0)
        image = QImage(dst[0], outW, outH, dstStride[0], QImage::Format_RGB32).copy();
    av_freep(&dst[0]);
    if (image.isNull())
        return {};

    // Phones record upright video sideways and say how to turn it.
    size_t sideSize = 0;
    if (const uint8_t *matrix = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, &sideSize);
        matrix && sideSize >= 9 * sizeof(int32_t)) {
        const double angle = av_display_rotation_get(reinterpret_cast<const int32_t *>(matrix));
        if (std::isfinite(angle) && std::lround(angle) % 360 != 0)
            image = image.transformed(QTransform().rotate(-angle));
    }
    return image;
}

} // namespace MediaInspector
