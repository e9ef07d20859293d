// The tool's marker walk over a stream: frame extents and their segments;
// and stream files ready to loop.
#include "tools/cli/frame_index.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

#include "tools/cli/exit_status.h"

namespace {

constexpr unsigned char Soi = 0xD8;
constexpr unsigned char Sos = 0xDA;
constexpr unsigned char Dqt = 0xDB;
constexpr unsigned char Com = 0xFE;
constexpr unsigned char App13 = 0xED;
constexpr char ImageTag[] = "#:K7IMG";
constexpr size_t ImageTagLength = sizeof ImageTag - 1;

bool isRestart(unsigned char code) { return code >= 0xD0 && code <= 0xD7; }

// Markers without a length: SOI, EOI, TEM and the restarts.
bool standsAlone(unsigned char code) { return code == Soi || code == 0xD9 || code == 0x01 || isRestart(code); }

}  // namespace

void FrameIndex::feed(const unsigned char* bytes, size_t count) {
    const unsigned char* const end = bytes + count;
    for (const unsigned char* p = bytes; p < end;) {
        // Payloads and scans are skipped in bulk; every other state reads one byte.
        if (state_ == State::Payload) {
            const size_t take = std::min(payloadLeft_, static_cast<size_t>(end - p));
            if (code_ == Com && payloadStart_.size() < ImageTagLength)
                payloadStart_.append(reinterpret_cast<const char*>(p), std::min(take, ImageTagLength - payloadStart_.size()));
            payloadLeft_ -= take;
            p += take;
            position_ += take;
            if (payloadLeft_ == 0) segmentDone();
            continue;
        }
        if (state_ == State::Scan || state_ == State::SeekSoi) {
            const auto* ff = static_cast<const unsigned char*>(std::memchr(p, 0xFF, static_cast<size_t>(end - p)));
            const unsigned char* stop = ff != nullptr ? ff : end;
            position_ += static_cast<uint64_t>(stop - p);
            p = stop;
            if (ff == nullptr) continue;
            state_ = state_ == State::Scan ? State::ScanMarker : State::SoiSecondByte;
            ++p;
            ++position_;
            continue;
        }
        const unsigned char byte = *p++;
        switch (state_) {
            case State::SoiSecondByte:
                if (byte == Soi) {
                    markerCode(byte);
                } else if (byte != 0xFF) {
                    state_ = State::SeekSoi;
                }
                break;
            case State::ExpectMarker:
                state_ = byte == 0xFF ? State::MarkerCode : State::SeekSoi;
                break;
            case State::MarkerCode:
                if (byte != 0xFF) markerCode(byte);  // FF FF: fill bytes
                break;
            case State::ScanMarker:
                if (byte == 0x00 || isRestart(byte)) {
                    state_ = State::Scan;
                } else if (byte != 0xFF) {
                    markerCode(byte);
                }
                break;
            case State::LengthHigh:
                length_ = static_cast<size_t>(byte) << 8;
                state_ = State::LengthLow;
                break;
            case State::LengthLow:
                length_ |= byte;
                if (length_ < 2) {
                    state_ = State::SeekSoi;
                } else {
                    payloadLeft_ = length_ - 2;
                    payloadStart_.clear();
                    state_ = State::Payload;
                    if (payloadLeft_ == 0) segmentDone();
                }
                break;
            default:
                break;
        }
        ++position_;
    }
}

// The byte at position_ is a marker code; its FF came just before.
void FrameIndex::markerCode(unsigned char code) {
    if (code == Soi) {
        const uint64_t start = position_ - 1;
        if (inFrame_) {
            current_.bytes = start - current_.offset;
            completed_.push_back(current_);
        }
        current_ = FrameExtent{};
        current_.offset = start;
        inFrame_ = true;
    }
    code_ = code;
    state_ = standsAlone(code) ? State::ExpectMarker : State::LengthHigh;
}

void FrameIndex::segmentDone() {
    if (inFrame_) {
        if (code_ == Dqt) current_.tables = true;
        if (code_ == App13) current_.app13 = true;
        if (code_ == Com && payloadStart_ == ImageTag) current_.tag = true;
    }
    state_ = code_ == Sos ? State::Scan : State::ExpectMarker;
}

void FrameIndex::finish() {
    if (!inFrame_) return;
    current_.bytes = position_ - current_.offset;
    completed_.push_back(current_);
    inFrame_ = false;
}

std::vector<unsigned char> loadLoopableStream(const std::string& path, std::string* error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        *error = systemError("open", path);
        return {};
    }
    std::vector<unsigned char> data((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    for (size_t i = 0; i + 1 < data.size(); ++i) {
        if (data[i] == 0xFF && data[i + 1] == Soi) {
            data.erase(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(i));
            return data;
        }
    }
    *error = "no frames in '" + path + "'";
    return {};
}
