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

namespace vorc {

std::unique_ptr<vorcStreamSource> openSource(const std::string& name, const ReaderOptions& options);

}  // namespace vorc

#endif
