// The Python extension vorc._vorc: vorc::Reader for Python. Frames expose
// their pixels through the buffer protocol, so numpy.asarray(frame) is a
// view without a copy (height x width x channels, uint8, top row first);
// each frame owns its pixels, so a view stays valid and unchanged while
// later frames are read.
// Decoding runs with the GIL released; the library's exceptions become
// Python exceptions that carry the reason.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <map>
#include <mutex>
#include <string>

#include "vorc/reader.h"

namespace py = pybind11;

namespace {

const std::map<std::string, vorc::PixelFormat> PixelFormats = {
    {"rgb", vorc::PixelFormat::RGB24},  {"bgr", vorc::PixelFormat::BGR24}, {"rgba", vorc::PixelFormat::RGBA},
    {"gray", vorc::PixelFormat::GRAY8}, {"i420", vorc::PixelFormat::I420},
};

vorc::PixelFormat pixelFormatNamed(const std::string& name) {
    const auto found = PixelFormats.find(name);
    if (found == PixelFormats.end()) {
        throw py::value_error("unknown pixel format \"" + name + "\" (rgb, bgr, rgba, gray or i420)");
    }
    return found->second;
}

// The buffer of a frame: an image of 1, 3 or 4 channels; I420 as the
// (height * 3 / 2) x width plane stack that OpenCV reads, or flat when a
// side is odd and the chroma rows do not pair up.
py::buffer_info frameBuffer(vorc::Frame& frame) {
    const auto height = py::ssize_t(frame.height);
    const auto width = py::ssize_t(frame.width);
    const auto stride = py::ssize_t(frame.stride());
    switch (frame.format()) {
        case vorc::PixelFormat::GRAY8:
            return py::buffer_info(frame.data(), {height, width}, {stride, py::ssize_t(1)});
        case vorc::PixelFormat::I420:
            if (frame.width % 2 == 0 && frame.height % 2 == 0) {
                return py::buffer_info(frame.data(), {height * 3 / 2, width}, {stride, py::ssize_t(1)});
            }
            return py::buffer_info(frame.data(), {py::ssize_t(frame.size())}, {py::ssize_t(1)});
        case vorc::PixelFormat::RGB24:
        case vorc::PixelFormat::BGR24:
        case vorc::PixelFormat::RGBA:
            break;
    }
    const py::ssize_t channels = frame.format() == vorc::PixelFormat::RGBA ? 4 : 3;
    return py::buffer_info(frame.data(), {height, width, channels}, {stride, channels, py::ssize_t(1)});
}

// About 31 years: far beyond any wait, far within whole milliseconds.
constexpr double MaxTimeoutSeconds = 1e9;

// One Reader with its Python status callback. Decoding releases the GIL, so
// a lock keeps two Python threads from driving the same Reader at once.
class PyReader {
public:
    PyReader(const std::string& source, const std::string& format, double timeoutSeconds, uint64_t maxPixels,
             float fps, py::object status)
        : status_(std::move(status)), reader_(source, options(format, timeoutSeconds, maxPixels, fps)) {}

    std::optional<vorc::Frame> next() {
        py::gil_scoped_release released;
        std::lock_guard<std::mutex> lock(mutex_);
        return reader_.next();
    }

    std::optional<vorc::JPEGFrame> nextJPEG() {
        py::gil_scoped_release released;
        std::lock_guard<std::mutex> lock(mutex_);
        return reader_.nextJPEG();
    }

    uint64_t damagedFrames() const { return reader_.damagedFrames(); }

private:
    vorc::ReaderOptions options(const std::string& format, double timeoutSeconds, uint64_t maxPixels, float fps) {
        // Also NaN and infinity, whose conversion to whole milliseconds would
        // be undefined; 0 is the way to wait for ever.
        if (!(timeoutSeconds >= 0 && timeoutSeconds <= MaxTimeoutSeconds)) {
            throw py::value_error("timeout must be 0 (no limit) or a number of seconds up to 1e9, not " +
                                  std::string(py::str(py::float_(timeoutSeconds))));
        }
        vorc::ReaderOptions options;
        options.format = pixelFormatNamed(format);
        options.timeout = std::chrono::milliseconds(static_cast<int64_t>(timeoutSeconds * 1000));
        options.maxPixels = maxPixels;
        options.cameraFps = fps;
        if (!status_.is_none()) {
            // status_ lives as long as the Reader that calls back into it.
            const py::handle callback = status_;
            options.status = [callback](vorc::StatusLevel level, const std::string& message) {
                py::gil_scoped_acquire acquired;
                try {
                    callback(level == vorc::StatusLevel::Error     ? "error"
                             : level == vorc::StatusLevel::Warning ? "warning"
                                                                   : "info",
                             message);
                } catch (py::error_already_set& error) {
                    error.discard_as_unraisable("vorc status callback");
                }
            };
        }
        return options;
    }

    py::object status_;
    vorc::Reader reader_;
    std::mutex mutex_;
};

}  // namespace

PYBIND11_MODULE(_vorc, m) {
    m.doc() = "Tesra stream reading: decoded frames as NumPy-ready buffers, or JPEG images";

    // The most specific last: translators registered later are tried first.
    py::register_exception<vorcException>(m, "Error", PyExc_RuntimeError);
    py::register_exception<vorc::SourceError>(m, "SourceError", PyExc_OSError);
    py::register_exception<vorc::TimeoutError>(m, "TimeoutError", PyExc_TimeoutError);

    py::class_<vorc::Frame>(m, "Frame", py::buffer_protocol())
        .def_buffer(&frameBuffer)
        .def_readonly("index", &vorc::Frame::index)
        .def_readonly("width", &vorc::Frame::width)
        .def_readonly("height", &vorc::Frame::height)
        .def_readonly("damaged", &vorc::Frame::damaged)
        .def_readonly("stale", &vorc::Frame::stale)
        .def_readonly("offset", &vorc::Frame::offset)
        .def_readonly("full_frame", &vorc::Frame::fullFrame)
        .def_readonly("coded_tiles", &vorc::Frame::codedTiles)
        .def("__repr__", [](const vorc::Frame& frame) {
            return "<vorc.Frame " + std::to_string(frame.index) + ": " + std::to_string(frame.width) + "x" +
                   std::to_string(frame.height) + (frame.damaged ? ", damaged>" : ">");
        });

    py::class_<PyReader>(m, "Reader")
        .def(py::init<const std::string&, const std::string&, double, uint64_t, float, py::object>(),
             py::arg("source"), py::arg("format") = "rgb", py::arg("timeout") = 10.0,
             py::arg("max_pixels") = vorc::DefaultMaxPicturePixels, py::arg("fps") = 0.0f,
             py::arg("status") = py::none())
        .def("next", &PyReader::next, "The next frame, or None at the end of the source.")
        .def("next_jpeg",
             [](PyReader& reader) -> py::object {
                 std::optional<vorc::JPEGFrame> frame = reader.nextJPEG();
                 if (!frame) return py::none();
                 py::bytes image(reinterpret_cast<const char*>(frame->bytes.data()), frame->bytes.size());
                 return py::make_tuple(image, frame->index, frame->width, frame->height, frame->damaged,
                                       frame->fullFrame, frame->codedTiles);
             },
             "The next frame as (jpeg, index, width, height, damaged, full_frame, coded_tiles), or None.")
        .def_property_readonly("damaged_frames", &PyReader::damagedFrames);
}
