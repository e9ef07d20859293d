// The Python extension vorc._vorc: vorc::Reader and its frames for Python
// (vorc/__init__.py builds the Pythonic Reader, open() and the JPEG images
// on it). Frames expose their pixels through the buffer protocol, so
// numpy.asarray(frame) and frame.to_numpy() are views without a copy
// (height x width x channels, uint8, top row first); each frame owns its
// pixels, and a view holds its frame, so a view stays valid and unchanged
// for as long as it is kept, whatever is read after it.
// Decoding runs with the GIL released; while the Reader waits for a silent
// source it checks for signals every 100 ms, so Ctrl-C raises
// KeyboardInterrupt at once. The library's exceptions become Python
// exceptions that carry the reason; a file that cannot be opened raises the
// OSError subclass of its errno, as the built-in open does.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "python/motion_bindings.h"
#include "python/tile_arrays.h"
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

std::string nameOf(vorc::PixelFormat format) {
    for (const auto& [name, named] : PixelFormats) {
        if (named == format) return name;
    }
    return "";
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

// A NumPy array of the frame's pixels: a view that holds the frame, or a
// copy of its own.
py::array frameArray(const py::object& self, bool copy) {
    const py::buffer_info pixels = frameBuffer(self.cast<vorc::Frame&>());
    py::array view(py::dtype::of<uint8_t>(), pixels.shape, pixels.strides, pixels.ptr, self);
    return copy ? py::array(view.attr("copy")()) : view;
}

// The tiles a frame coded as a boolean array of tile rows x tile columns;
// None when they are unknown (a damaged frame, or one without a picture).
py::object changedTiles(const vorc::ReaderFrameInfo& frame) {
    if (frame.damaged || frame.width <= 0 || frame.height <= 0) return py::none();
    if (frame.fullFrame) return allTiles(frame.width, frame.height);
    return unpackTileBitmap(frame.tileBitmap.data(), frame.width, frame.height);
}

// About 31 years: far beyond any wait, far within whole milliseconds.
constexpr double MaxTimeoutSeconds = 1e9;

// The exceptions, created once with the module.
PyObject* errorType = nullptr;
PyObject* sourceErrorType = nullptr;
PyObject* timeoutErrorType = nullptr;

// Raises OSError(errno, strerror[, filename]), which Python turns into the
// subclass of that errno (FileNotFoundError, PermissionError, ...).
[[noreturn]] void raiseSystemError(int error, const std::optional<std::string>& filename) {
    errno = error;
    if (filename) {
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, py::str(*filename).ptr());
    } else {
        PyErr_SetFromErrno(PyExc_OSError);
    }
    throw py::error_already_set();
}

// One Reader over any of its sources, with what it borrows from Python: a
// stream in memory, a file object, the status callback. Decoding releases
// the GIL, so a lock keeps two Python threads from driving the same Reader
// at once and close() from pulling it away from under a read.
class PyReader {
public:
    // kind: "name" (a path, "-" or HOST:PORT), "file" (a path only),
    // "descriptor", "memory" (an object with the buffer protocol) or
    // "stream" (a binary file object).
    PyReader(const py::object& source, const std::string& kind, const std::string& format, double timeoutSeconds,
             uint64_t maxPixels, float fps, double fileFps, py::object status)
        : status_(std::move(status)) {
        vorc::ReaderOptions settings = options(format, timeoutSeconds, maxPixels, fps, fileFps);
        try {
            if (kind == "name" || kind == "file") {
                const std::string path = source.cast<std::string>();
                py::gil_scoped_release released;
                reader_.emplace(kind == "name" ? vorc::Reader(path, settings) : vorc::Reader::openFile(path, settings));
            } else if (kind == "descriptor") {
                reader_.emplace(vorc::Reader::openDescriptor(source.cast<int>(), settings));
            } else if (kind == "memory") {
                memory_ = source.cast<py::buffer>().request();
                reader_.emplace(vorc::Reader::openMemory(static_cast<const uint8_t*>(memory_->ptr),
                                                         size_t(memory_->size * memory_->itemsize), settings));
            } else if (kind == "stream") {
                stream_ = source;
                reader_.emplace(std::make_unique<FileObjectSource>(this), "file object", settings);
            } else {
                throw py::value_error("unknown kind of source: " + kind);
            }
        } catch (const vorc::SourceError& error) {
            if (error.systemError() == 0) throw;
            raiseSystemError(error.systemError(),
                             kind == "descriptor" ? std::nullopt : std::optional(source.cast<std::string>()));
        }
    }

    ~PyReader() {
        // The Reader's source may call back into the file object: gone
        // first.
        reader_.reset();
    }

    std::optional<vorc::Frame> next() {
        py::gil_scoped_release released;
        std::lock_guard<std::mutex> lock(mutex_);
        return open().next();
    }

    std::optional<vorc::JPEGFrame> nextJPEG() {
        py::gil_scoped_release released;
        std::lock_guard<std::mutex> lock(mutex_);
        return open().nextJPEG();
    }

    void close() {
        {
            py::gil_scoped_release released;
            std::lock_guard<std::mutex> lock(mutex_);
            reader_.reset();
        }
        memory_.reset();
        stream_ = py::none();
    }

    bool closed() const { return !reader_; }

    uint64_t damagedFrames() const { return reader_ ? reader_->damagedFrames() : 0; }

private:
    // Reads a Python binary file object. An exception of its read() is
    // kept and raised by the Reader's interrupted check, which is asked as
    // soon as a fetch brings nothing.
    class FileObjectSource : public vorcStreamSource {
    public:
        explicit FileObjectSource(PyReader* owner) : owner_(owner) {}
        int fetchBytes(unsigned char* buffer, int maxBytes) override {
            if (!up_ || maxBytes <= 0) return 0;
            py::gil_scoped_acquire acquired;
            try {
                const py::object chunk = owner_->stream_.attr("read")(maxBytes);
                if (chunk.is_none()) return 0;  // a non-blocking file with nothing yet
                if (!PyObject_CheckBuffer(chunk.ptr())) {
                    throw py::type_error("read() of the file object returned " +
                                         std::string(py::str(py::type::of(chunk).attr("__name__"))) +
                                         ", not bytes: open the file in binary mode");
                }
                const py::buffer_info got = py::reinterpret_borrow<py::buffer>(chunk).request();
                const size_t count = std::min(size_t(got.size * got.itemsize), size_t(maxBytes));
                std::memcpy(buffer, got.ptr, count);
                up_ = count > 0;
                return int(count);
            } catch (py::error_already_set& error) {
                owner_->pending_ = std::move(error);
            } catch (const py::builtin_exception& error) {
                error.set_error();
                owner_->pending_ = py::error_already_set();
            }
            return 0;
        }
        bool stillUp() override { return up_; }

    private:
        PyReader* owner_;
        bool up_ = true;
    };

    vorc::Reader& open() {
        if (!reader_) throw py::value_error("I/O operation on a closed vorc.Reader");
        return *reader_;
    }

    vorc::ReaderOptions options(const std::string& format, double timeoutSeconds, uint64_t maxPixels, float fps,
                                double fileFps) {
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
        options.fileFps = fileFps;
        // Asked with the GIL released, every 100 ms of a wait: a file
        // object's failure, or a signal whose handler raised (Ctrl-C), ends
        // the wait with that exception.
        options.interrupted = [this] {
            py::gil_scoped_acquire acquired;
            if (pending_) {
                py::error_already_set failure = std::move(*pending_);
                pending_.reset();
                throw failure;
            }
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
            return false;
        };
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
    py::object stream_ = py::none();
    std::optional<py::buffer_info> memory_;  // holds the exporter's buffer while it is read
    std::optional<py::error_already_set> pending_;
    std::optional<vorc::Reader> reader_;
    std::mutex mutex_;
};

// The facts of a frame as keyword arguments, for the JPEG images that
// vorc/__init__.py makes.
py::dict frameFacts(const vorc::ReaderFrameInfo& frame) {
    py::dict facts;
    facts["index"] = frame.index;
    facts["timestamp"] = frame.timestamp;
    facts["offset"] = frame.offset;
    facts["width"] = frame.width;
    facts["height"] = frame.height;
    facts["damaged"] = frame.damaged;
    facts["stale"] = frame.stale;
    facts["full_frame"] = frame.fullFrame;
    facts["coded_tiles"] = frame.codedTiles;
    facts["changed_tiles"] = changedTiles(frame);
    return facts;
}

PyObject* newException(const char* name, const char* doc, PyObject* bases) {
    PyObject* type = PyErr_NewExceptionWithDoc(name, doc, bases, nullptr);
    if (type == nullptr) throw py::error_already_set();
    return type;
}

void defineExceptions(py::module_& m) {
    errorType = newException("vorc.Error",
                             "A failure of the library that is not about the source, such as a setting it cannot "
                             "work with.",
                             PyExc_RuntimeError);
    sourceErrorType = newException(
        "vorc.SourceError",
        "The source cannot be opened, connected or read, or a camera answered with an HTTP status other than "
        "200; str() says why. An OSError; a file that cannot be opened raises the built-in subclass of its errno "
        "instead (FileNotFoundError, PermissionError, IsADirectoryError).",
        PyExc_OSError);
    const py::tuple timeoutBases = py::make_tuple(py::handle(sourceErrorType), py::handle(PyExc_TimeoutError));
    timeoutErrorType = newException(
        "vorc.TimeoutError",
        "The source sent nothing for the timeout. A camera is then given up; standard input, a descriptor or a "
        "file object may deliver at the next read. Both a vorc.SourceError and a built-in TimeoutError.",
        timeoutBases.ptr());
    m.add_object("Error", errorType);
    m.add_object("SourceError", sourceErrorType);
    m.add_object("TimeoutError", timeoutErrorType);
    // The most specific first.
    py::register_exception_translator([](std::exception_ptr thrown) {
        try {
            std::rethrow_exception(thrown);
        } catch (const vorc::TimeoutError& error) {
            PyErr_SetString(timeoutErrorType, error.what());
        } catch (const vorc::SourceError& error) {
            PyErr_SetString(sourceErrorType, error.what());
        } catch (const vorc::InvalidArgument& error) {
            PyErr_SetString(PyExc_ValueError, error.what());
        } catch (const vorcException& error) {
            PyErr_SetString(errorType, error.what());
        }
    });
}

void defineFrame(py::module_& m) {
    py::class_<vorc::Frame>(m, "Frame", py::buffer_protocol(), R"doc(One decoded frame of a stream.

Its pixels are shared without a copy through the buffer protocol
(numpy.asarray(frame), memoryview(frame)) and frame.to_numpy(): uint8,
top row first, height x width x 3 for "rgb" and "bgr", x 4 for "rgba",
height x width for "gray", and for "i420" the Y, U and V planes stacked
as (height * 3 / 2) x width (flat when a side is odd). Each frame owns its
pixels and a view holds its frame: a view stays valid and unchanged for as
long as it is kept, whatever frames are read after it. Writing into a view
changes the frame.

A damaged frame (the stream was broken inside it) comes out with damaged
set; its picture holds what could be decoded, or nothing (width 0).)doc")
        .def_buffer(&frameBuffer)
        .def_readonly("index", &vorc::Frame::index, "The frame's number: 1 for the first frame of the source, damaged ones counted.")
        .def_readonly("timestamp", &vorc::Frame::timestamp,
                      "Seconds. For a camera, when the frame had arrived (seconds since the Unix epoch, as "
                      "time.time()); for any other source, its place in the stream at the file_fps the Reader "
                      "was given: (index - 1) / file_fps.")
        .def_readonly("offset", &vorc::Frame::offset, "Where the frame began in the stream, in bytes.")
        .def_readonly("width", &vorc::Frame::width, "The picture's width in pixels; 0 for a frame without a picture.")
        .def_readonly("height", &vorc::Frame::height, "The picture's height in pixels; 0 for a frame without a picture.")
        .def_property_readonly(
            "format", [](const vorc::Frame& frame) { return nameOf(frame.format()); },
            "The pixel format: \"rgb\", \"bgr\", \"rgba\", \"gray\" or \"i420\".")
        .def_readonly("damaged", &vorc::Frame::damaged, "True when the frame could not be decoded in full.")
        .def_readonly("stale", &vorc::Frame::stale,
                      "True while the picture still lacks what an earlier damaged frame failed to deliver "
                      "(until the next full frame).")
        .def_readonly("full_frame", &vorc::Frame::fullFrame,
                      "True for a frame that coded the whole picture (a key frame); False for a partial frame.")
        .def_readonly("coded_tiles", &vorc::Frame::codedTiles, "How many 16x16 tiles the frame carried.")
        .def_property_readonly(
            "changed_tiles", [](const vorc::Frame& frame) { return changedTiles(frame); },
            "The tiles the frame coded, as a NumPy boolean array of tile rows x tile columns (16x16 pixels "
            "each, the last row and column cut by the picture's edge): for a partial frame the tiles the "
            "camera coded again because they changed, for a full frame every tile. None for a damaged frame, "
            "whose tiles are unknown. A new array at each access.")
        .def("to_numpy", &frameArray, py::arg("copy") = false, R"doc(The pixels as a NumPy uint8 array.

copy=False (the default) gives a view of the frame's own memory, with the
shape of numpy.asarray(frame): no bytes are copied, the view holds the
frame, and it stays valid and unchanged for as long as it is kept (later
frames never reuse a frame's memory). copy=True gives an array of its own.)doc")
        .def("__repr__", [](const vorc::Frame& frame) {
            return "<vorc.Frame " + std::to_string(frame.index) + ": " + std::to_string(frame.width) + "x" +
                   std::to_string(frame.height) + " " + nameOf(frame.format()) +
                   (frame.fullFrame ? ", full" : ", partial") +
                   (frame.damaged ? ", damaged>" : ">");
        });
}

void defineReader(py::module_& m) {
    py::class_<PyReader>(m, "_Reader", "The extension's side of vorc.Reader; use vorc.open() or vorc.Reader.")
        .def(py::init<const py::object&, const std::string&, const std::string&, double, uint64_t, float, double,
                      py::object>(),
             py::arg("source"), py::arg("kind"), py::arg("format"), py::arg("timeout"), py::arg("max_pixels"),
             py::arg("fps"), py::arg("file_fps"), py::arg("status"))
        .def("next", &PyReader::next, "The next frame, or None at the end of the source.")
        .def(
            "next_jpeg",
            [](PyReader& reader) -> py::object {
                std::optional<vorc::JPEGFrame> frame = reader.nextJPEG();
                if (!frame) return py::none();
                py::bytes image(reinterpret_cast<const char*>(frame->bytes.data()), frame->bytes.size());
                return py::make_tuple(image, frameFacts(*frame));
            },
            "The next frame as (JPEG bytes, dict of the frame's facts), or None at the end of the source.")
        .def("close", &PyReader::close, "Closes the source; later reads raise ValueError.")
        .def_property_readonly("closed", &PyReader::closed, "True once closed.")
        .def_property_readonly("damaged_frames", &PyReader::damagedFrames, "Frames reported damaged so far.");
}

}  // namespace

PYBIND11_MODULE(_vorc, m) {
    m.doc() = "The extension under the vorc module: frames, the reader, the motion detector.";
    m.attr("__version__") = VORC_VERSION_NUMBER;
    m.attr("DEFAULT_MAX_PIXELS") = vorc::DefaultMaxPicturePixels;
    defineExceptions(m);
    defineFrame(m);
    defineReader(m);
    defineMotion(m);
}
