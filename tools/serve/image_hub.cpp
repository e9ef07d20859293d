// The image hub of `vorc serve`: frames each published JPEG image once as a
// multipart part and hands the latest one to the web server, woken through a
// non-blocking pipe; numbers the motion events and keeps the latest.
#include "tools/serve/image_hub.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

ssize_t ServedImage::sendPart(int socket, size_t offset) const {
    static const char end[] = "\r\n";
    const std::string_view pieces[] = {head, jpeg, std::string_view(end, 2)};
    iovec unsent[3];
    size_t count = 0;
    for (const std::string_view piece : pieces) {
        if (offset >= piece.size()) {
            offset -= piece.size();
            continue;
        }
        unsent[count++] = iovec{const_cast<char*>(piece.data() + offset), piece.size() - offset};
        offset = 0;
    }
    msghdr message{};
    message.msg_iov = unsent;
    message.msg_iovlen = count;
    return ::sendmsg(socket, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
}

ImageHub::ImageHub() {
    if (::pipe2(wakePipe_, O_NONBLOCK | O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
}

ImageHub::~ImageHub() {
    ::close(wakePipe_[0]);
    ::close(wakePipe_[1]);
}

void ImageHub::publish(std::string&& jpeg, int width, int height) {
    auto image = std::make_shared<ServedImage>();
    image->width = width;
    image->height = height;
    image->head = std::string("--") + Boundary + "\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                  std::to_string(jpeg.size()) + "\r\n\r\n";
    image->jpeg = std::move(jpeg);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        image->number = ++published_;
        latest_ = std::move(image);
    }
    wake();
}

std::shared_ptr<const ServedImage> ImageHub::latest() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return latest_;
}

void ImageHub::publishMotion(const std::vector<std::string>& events, std::string state) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const std::string& json : events) {
            events_.push_back(HubEvent{++lastEventId_, json});
            if (events_.size() > KeptEvents) events_.pop_front();
        }
        motionState_ = std::move(state);
    }
    if (!events.empty()) wake();
}

std::vector<HubEvent> ImageHub::eventsAfter(uint64_t id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<HubEvent> after;
    for (const HubEvent& event : events_) {
        if (event.id > id) after.push_back(event);
    }
    return after;
}

uint64_t ImageHub::lastEventId() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastEventId_;
}

std::string ImageHub::motionState() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return motionState_;
}

void ImageHub::wake() const {
    // A full pipe already holds a wake-up.
    const char byte = 1;
    const int savedErrno = errno;
    [[maybe_unused]] const ssize_t written = ::write(wakePipe_[1], &byte, 1);
    errno = savedErrno;
}

void ImageHub::drainWakes() const {
    char bytes[256];
    while (::read(wakePipe_[0], bytes, sizeof bytes) > 0) {
    }
}
