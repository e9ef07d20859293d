// The Reader's first link: turns the name of a source (a file, "-" for
// standard input, or a camera as HOST:PORT) into an open stream source whose
// reads wait at most the Reader's timeout, or throws SourceError with the
// reason.
#ifndef VORC_READER_SOURCE_OPENING_H
#define VORC_READER_SOURCE_OPENING_H

#include <memory>
#include <string>

#include "vorc/core/stream_interfaces.h"
#include "vorc/reader.h"
#include "vorc/sources/camera_live_stream.h"

namespace vorc {

struct OpenedSource {
    std::unique_ptr<vorcStreamSource> source;
    // The same source when it is a camera, to ask whether it timed out.
    const vorcCameraLiveTesraFastStreamPOSIX* camera = nullptr;
};

OpenedSource openSource(const std::string& name, const ReaderOptions& options);

}  // namespace vorc

#endif
