// The Matroska writer module (vorc-matroska.so): Matroska files through
// libebml and libmatroska: the EBML head, a segment whose size is written
// last, a void reserved for the seek head, the segment information and one
// video track, then one cluster per second of frames and, on closing, the
// Cues with one cue point per cluster. The tool loads it when it first
// writes a Matroska file.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include <ebml/EbmlHead.h>
#include <ebml/EbmlSubHead.h>
#include <ebml/EbmlVoid.h>
#include <ebml/IOCallback.h>
#include <matroska/KaxBlock.h>
#include <matroska/KaxCluster.h>
#include <matroska/KaxClusterData.h>
#include <matroska/KaxCues.h>
#include <matroska/KaxCuesData.h>
#include <matroska/KaxInfo.h>
#include <matroska/KaxInfoData.h>
#include <matroska/KaxSeekHead.h>
#include <matroska/KaxSegment.h>
#include <matroska/KaxTrackEntryData.h>
#include <matroska/KaxTrackVideo.h>
#include <matroska/KaxTracks.h>

#include "tools/matroska/matroska_module.h"

using namespace libebml;
using namespace libmatroska;

namespace {

constexpr uint64 NanosPerTick = 1000000;  // time stamps in milliseconds
constexpr int64_t ClusterMillis = 1000;
// Large enough for the seek head's four entries.
constexpr uint64 SeekHeadRoom = 160;
constexpr uint64 TrackNumber = 1;

// A file descriptor for libebml, remembering the first failed write or seek.
class DescriptorIO final : public IOCallback {
public:
    explicit DescriptorIO(int fd) : fd_(fd) {}
    ~DescriptorIO() noexcept override { close(); }
    uint32 read(void* buffer, size_t size) override {
        const ssize_t got = ::read(fd_, buffer, size);
        return got > 0 ? static_cast<uint32>(got) : 0;
    }
    void setFilePointer(int64 offset, seek_mode mode = seek_beginning) override {
        const off_t at = ::lseek(fd_, static_cast<off_t>(offset), static_cast<int>(mode));
        if (at < 0) fail();
        else position_ = static_cast<uint64>(at);
    }
    size_t write(const void* buffer, size_t size) override {
        const auto* bytes = static_cast<const char*>(buffer);
        for (size_t done = 0; done < size;) {
            const ssize_t put = failed_ ? -1 : ::write(fd_, bytes + done, size - done);
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0) {
                fail();
                return size;  // the writer goes on; close() reports the failure
            }
            done += static_cast<size_t>(put);
            position_ += static_cast<uint64>(put);
        }
        return size;
    }
    uint64 getFilePointer() override { return position_; }
    void close() override {
        if (fd_ != -1 && ::close(fd_) != 0) fail();
        fd_ = -1;
    }
    bool failed() const { return failed_; }

private:
    void fail() { failed_ = true; }
    int fd_;
    uint64 position_ = 0;
    bool failed_ = false;
};

class Writer {
public:
    explicit Writer(int fd) : io_(fd) {}

    void start(int64_t firstMillis, int width, int height) {
        EbmlHead head;
        GetChild<EDocType>(head).SetValue("matroska");
        GetChild<EDocTypeVersion>(head).SetValue(4);
        GetChild<EDocTypeReadVersion>(head).SetValue(2);
        head.Render(io_, true);
        // The size is not known yet: 8 bytes that say "unknown", which readers
        // take as "to the end of the file" should the recording be cut off
        // (libebml writes 0 there), filled in on closing.
        segmentHeadSize_ = segment_.WriteHead(io_, 8);
        const uint64 afterHead = io_.getFilePointer();
        static const binary UnknownSize[8] = {0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
        io_.setFilePointer(static_cast<int64>(afterHead - sizeof UnknownSize));
        io_.write(UnknownSize, sizeof UnknownSize);
        seekHeadRoom_.SetSize(SeekHeadRoom);
        seekHeadRoom_.Render(io_);

        originMillis_ = firstMillis / 1000 * 1000;
        KaxInfo& info = GetChild<KaxInfo>(segment_);
        GetChild<KaxTimecodeScale>(info).SetValue(NanosPerTick);
        auto& duration = GetChild<KaxDuration>(info);
        duration.SetPrecision(EbmlFloat::FLOAT_64);
        duration.SetValue(0.0);
        GetChild<KaxDateUTC>(info).SetEpochDate(originMillis_ / 1000);
        GetChild<KaxMuxingApp>(info).SetValueUTF8("libvorc_core vorc record");
        GetChild<KaxWritingApp>(info).SetValueUTF8("libvorc_core vorc record");
        infoPosition_ = io_.getFilePointer();
        info.Render(io_);
        seekHead_.IndexThis(info, segment_);

        KaxTracks& tracks = GetChild<KaxTracks>(segment_);
        track_ = &GetChild<KaxTrackEntry>(tracks);
        track_->SetGlobalTimecodeScale(NanosPerTick);
        GetChild<KaxTrackNumber>(*track_).SetValue(TrackNumber);
        GetChild<KaxTrackUID>(*track_).SetValue(TrackNumber);
        GetChild<KaxTrackType>(*track_).SetValue(track_video);
        GetChild<KaxCodecID>(*track_).SetValue("V_MJPEG");
        GetChild<KaxTrackFlagLacing>(*track_).SetValue(0);
        KaxTrackVideo& video = GetChild<KaxTrackVideo>(*track_);
        GetChild<KaxVideoPixelWidth>(video).SetValue(static_cast<uint64>(width));
        GetChild<KaxVideoPixelHeight>(video).SetValue(static_cast<uint64>(height));
        tracks.Render(io_);
        seekHead_.IndexThis(tracks, segment_);
        cues_.SetGlobalTimecodeScale(NanosPerTick);
        blockCues_.SetGlobalTimecodeScale(NanosPerTick);
    }

    void add(const uint8_t* jpeg, size_t size, int64_t receivedMillis, int width, int height) {
        if (track_ == nullptr) start(receivedMillis, width, height);
        // Time stamps never go back, even when the clock does.
        const int64_t millis = std::max(receivedMillis - originMillis_, lastMillis_);
        frameInterval_ = millis - lastMillis_;
        lastMillis_ = millis;
        if (cluster_ == nullptr || millis - clusterMillis_ >= ClusterMillis) {
            flushCluster();
            cluster_ = std::make_unique<KaxCluster>();
            cluster_->SetParent(segment_);
            cluster_->InitTimecode(static_cast<uint64>(millis), NanosPerTick);
            cluster_->EnableChecksum();
            clusterMillis_ = millis;
        }
        KaxBlockGroup* group = nullptr;
        auto* data = new DataBuffer(const_cast<binary*>(jpeg), static_cast<uint32>(size), nullptr, true);
        cluster_->AddFrame(*track_, static_cast<uint64>(millis) * NanosPerTick, *data, group, LACING_NONE);
    }

    bool close() {
        if (track_ != nullptr) {
            flushCluster();
            KaxCues& cues = cues_;
            for (const auto& [millis, position] : cuePoints_) {
                auto& point = AddNewChild<KaxCuePoint>(cues);
                GetChild<KaxCueTime>(point).SetValue(static_cast<uint64>(millis));
                auto& positions = GetChild<KaxCueTrackPositions>(point);
                GetChild<KaxCueTrack>(positions).SetValue(TrackNumber);
                GetChild<KaxCueClusterPosition>(positions).SetValue(position);
            }
            if (!cuePoints_.empty()) {
                cues.Render(io_);
                seekHead_.IndexThis(cues, segment_);
            }
            const uint64 end = io_.getFilePointer();
            seekHeadRoom_.ReplaceWith(seekHead_, io_, true);
            // The duration runs to the end of the last frame, taken as long
            // as the one before it.
            KaxInfo& info = GetChild<KaxInfo>(segment_);
            GetChild<KaxDuration>(info).SetValue(static_cast<double>(lastMillis_ + frameInterval_));
            io_.setFilePointer(static_cast<int64>(infoPosition_));
            info.Render(io_);
            if (segment_.ForceSize(end - segmentHeadSize_ - segment_.GetElementPosition())) segment_.OverwriteHead(io_);
            io_.setFilePointer(static_cast<int64>(end));
        }
        io_.close();
        return !io_.failed();
    }

    bool failed() const { return io_.failed(); }

private:
    void flushCluster() {
        if (cluster_ == nullptr) return;
        cuePoints_.emplace_back(clusterMillis_, segment_.GetRelativePosition(io_.getFilePointer()));
        cluster_->Render(io_, blockCues_);
        cluster_->ReleaseFrames();
        cluster_.reset();
    }

    DescriptorIO io_;
    KaxSegment segment_;
    uint64 segmentHeadSize_ = 0;
    EbmlVoid seekHeadRoom_;
    KaxSeekHead seekHead_;
    KaxCues cues_;
    KaxCues blockCues_;  // what libmatroska notes while rendering a cluster; not written
    KaxTrackEntry* track_ = nullptr;  // in segment_
    uint64 infoPosition_ = 0;
    int64_t originMillis_ = 0;
    int64_t lastMillis_ = 0;   // the last frame's time stamp
    int64_t frameInterval_ = 0;  // from the frame before it
    int64_t clusterMillis_ = 0;
    std::unique_ptr<KaxCluster> cluster_;
    std::vector<std::pair<int64_t, uint64>> cuePoints_;  // cluster time, position in the segment
};

}  // namespace

// The writer behind the module's handle. A failure inside libmatroska (it
// throws on allocation) marks the file failed instead of crossing into the
// tool, which has a C++ run-time of its own.
struct VorcMatroskaWriter {
    explicit VorcMatroskaWriter(int fd) : writer(fd) {}
    Writer writer;
    bool thrown = false;
};

#define VORC_MATROSKA_EXPORT extern "C" __attribute__((visibility("default")))

VORC_MATROSKA_EXPORT VorcMatroskaWriter* vorc_matroska_open(int fd) {
    auto* handle = new (std::nothrow) VorcMatroskaWriter(fd);
    if (handle == nullptr) ::close(fd);
    return handle;
}

VORC_MATROSKA_EXPORT void vorc_matroska_add(VorcMatroskaWriter* handle, const uint8_t* jpeg, size_t size,
                                            int64_t receivedMillis, int width, int height) {
    if (handle->thrown) return;
    try {
        handle->writer.add(jpeg, size, receivedMillis, width, height);
    } catch (...) {
        handle->thrown = true;
    }
}

VORC_MATROSKA_EXPORT int vorc_matroska_failed(const VorcMatroskaWriter* handle) {
    return handle->thrown || handle->writer.failed();
}

VORC_MATROSKA_EXPORT int vorc_matroska_close(VorcMatroskaWriter* handle) {
    bool written = false;
    try {
        written = handle->writer.close() && !handle->thrown;
    } catch (...) {
    }
    delete handle;
    return written;
}
