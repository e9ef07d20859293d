// The Reader's first link: turns a source (a name as the tools take it, a
// file, a descriptor, bytes in memory or a camera) into an open stream
// source whose fetches wait at most a given slice for data, so that the
// Reader keeps count of the silence and can look at the caller's
// interruption check between fetches, or throws SourceError with the reason.
#ifndef VORC_READER_SOURCE_OPENING_H
#define VORC_READER_SOURCE_OPENING_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "vorc/core/stream_interfaces.h"
#include "vorc/reader.h"
#include "vorc/sources/checked_camera_stream.h"

namespace vorc {

struct OpenedSource {
    std::unique_ptr<vorcStreamSource> source;
    // The same source when it is a camera, to ask why it ended.
    const CheckedCameraStream* camera = nullptr;
};

// A fetch from each source that finds nothing returns after at most slice.
// name: a file, "-" for standard input, or a camera as
// [USER:PASSWORD@]HOST:PORT.
OpenedSource openSource(const std::string& name, const ReaderOptions& options, std::chrono::milliseconds slice);
OpenedSource openFileSource(const std::string& path, std::chrono::milliseconds slice);
OpenedSource openDescriptorSource(int fd, std::chrono::milliseconds slice);
OpenedSource openMemorySource(const uint8_t* bytes, size_t size);
OpenedSource openCameraSource(const std::string& host, int port, const ReaderOptions& options,
                              std::chrono::milliseconds slice,
                              const std::optional<CameraLogin>& login = std::nullopt);

}  // namespace vorc

#endif
