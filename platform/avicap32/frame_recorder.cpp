#include "platform/avicap32/frame_recorder.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "platform/avicap32/avi_writer.h"
#include "platform/avicap32/jpeg_encoder.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace standin {

namespace {

constexpr int kFramesPerSecond = 25;
constexpr int kMaxNameNumber = 9999;

std::string roleOf(size_t camera) {
    return camera == 0 ? "left" : camera == 1 ? "right" : "camera" + std::to_string(camera + 1);
}

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// Opens a new file for writing, failing when there is one of that name.
std::FILE* createNew(const std::string& path) {
#ifdef _WIN32
    const int fd = _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
    std::FILE* file = fd >= 0 ? _fdopen(fd, "wb") : nullptr;
    if (fd >= 0 && file == nullptr) _close(fd);
#else
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    std::FILE* file = fd >= 0 ? fdopen(fd, "wb") : nullptr;
    if (fd >= 0 && file == nullptr) close(fd);
#endif
    return file;
}

}  // namespace

RecordingSession::RecordingSession(const std::string& prefix, size_t cameras) {
    for (int n = 1; n <= kMaxNameNumber && paths_.empty(); ++n) {
        std::vector<std::string> names;
        bool free = true;
        for (size_t camera = 0; camera < cameras; ++camera) {
            names.push_back(prefix + (n == 1 ? "" : "-" + std::to_string(n)) + "-" + roleOf(camera) + ".avi");
            free = free && !exists(names.back());
        }
        if (free) paths_ = std::move(names);
    }
    if (paths_.empty()) {
        stop("every name for " + prefix + "-left.avi up to number " + std::to_string(kMaxNameNumber) + " is taken");
        return;
    }
    std::string list;
    for (size_t i = 0; i < paths_.size(); ++i)
        list += (i == 0 ? "" : i + 1 == paths_.size() ? " and " : ", ") + paths_[i];
    std::fprintf(stderr, "Recording to %s (MJPEG, %d frames a second).\n", list.c_str(), kFramesPerSecond);
}

int64_t RecordingSession::frameNumber(size_t camera, Clock::time_point time) {
    if (camera == 0) {
        leftGrab_ = time;
        ++leftGrabs_;
    } else if (camera == 1 && rightSeen_ < leftGrabs_) {
        time = leftGrab_;  // the same tick as the left camera's grab
        rightSeen_ = leftGrabs_;
    }
    if (!started_) {
        started_ = true;
        start_ = time;
    }
    if (camera >= lastNumbers_.size()) lastNumbers_.resize(camera + 1, -1);
    // Ticks come on a 40 ms grid, each a little late: a grab's frame is the
    // grid step it belongs to. The grid starts at the earliest grab seen
    // (grabs never come before their step), so when one comes earlier than
    // the grid so far says, the grid moves back to it.
    const double steps = std::chrono::duration<double>(time - start_).count() * kFramesPerSecond;
    const int64_t number = std::max(lastNumbers_[camera] + 1, int64_t(std::floor(steps + 1e-6)));
    if (steps < double(number))
        start_ -= std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>((double(number) - steps) / kFramesPerSecond));
    lastNumbers_[camera] = number;
    return number;
}

void RecordingSession::stop(const std::string& why) {
    if (stopped_.exchange(true)) return;
    const std::string text = "Recording stopped: " + why + ". Tracking goes on.";
    std::fprintf(stderr, "%s\n", text.c_str());
#ifdef _WIN32
    // A thread of its own, so that neither the tick nor the end of the
    // program waits for the box to be closed.
    std::thread([text] {
        std::wstring wide(text.size() + 1, L'\0');  // never more characters than bytes
        const int n = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &wide[0], int(wide.size()));
        wide.resize(size_t(std::max(0, n - 1)));
        MessageBoxW(nullptr, wide.c_str(), L"Kestrova", MB_OK | MB_ICONWARNING);
    }).detach();
#endif
}

std::unique_ptr<FrameRecorder> FrameRecorder::create(std::shared_ptr<RecordingSession> session, size_t camera,
                                                     int width, int height) {
    if (session == nullptr || session->stopped() || width <= 0 || height <= 0) return nullptr;
    const std::string path = session->pathOf(camera);
    if (path.empty()) return nullptr;
    errno = 0;
    std::FILE* file = createNew(path);
    if (file == nullptr) {
        session->stop("cannot create " + path + ": " + std::strerror(errno != 0 ? errno : EIO));
        return nullptr;
    }
    std::unique_ptr<FrameRecorder> recorder(new FrameRecorder(std::move(session), camera, width, height));
    recorder->encoder_ = std::thread(&FrameRecorder::run, recorder.get(), file);
    return recorder;
}

FrameRecorder::FrameRecorder(std::shared_ptr<RecordingSession> session, size_t camera, int width, int height)
    : session_(std::move(session)),
      camera_(camera),
      path_(session_->pathOf(camera)),
      width_(width),
      height_(height),
      queueFrames_(std::clamp(kQueueBytes / (size_t(width) * 3 * size_t(height)), size_t(2), kQueueFrames)) {}

FrameRecorder::~FrameRecorder() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closing_ = true;
    }
    wake_.notify_one();
    if (encoder_.joinable()) encoder_.join();
    const uint64_t frames = written_.load();
    std::fprintf(stderr, "%s: %llu frames (%.1f s) recorded, %llu dropped because the encoder fell behind.\n",
                 path_.c_str(), static_cast<unsigned long long>(frames), double(frames) / kFramesPerSecond,
                 static_cast<unsigned long long>(dropped_.load()));
}

void FrameRecorder::offer(const uint8_t* frame, RecordingSession::Clock::time_point time) {
    if (frame == nullptr || session_->stopped()) return;
    const int64_t number = session_->frameNumber(camera_, time);
    std::vector<uint8_t> pixels;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (queue_.size() >= queueFrames_) {
            dropped_.fetch_add(1);
            return;
        }
        if (!spare_.empty()) {
            pixels = std::move(spare_.back());
            spare_.pop_back();
        }
    }
    // Only this thread adds to the queue, so there is still room.
    const size_t bytes = size_t(width_) * 3 * size_t(height_);
    pixels.resize(bytes);
    std::memcpy(pixels.data(), frame, bytes);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(Queued{number, std::move(pixels)});
    }
    wake_.notify_one();
}

// The recorder's thread: encodes and writes what is queued until the
// recorder closes; after a failure it only empties the queue.
void FrameRecorder::run(std::FILE* file) {
    std::string error;
    std::unique_ptr<JpegEncoder> encoder = makeJpegEncoder(width_, height_, error);
    AviWriter avi(file, width_, height_, kFramesPerSecond);
    bool ok = encoder != nullptr && avi.writeHeader();
    if (encoder == nullptr) {
        session_->stop(path_ + ": cannot encode JPEG: " + error);
    } else if (!ok) {
        session_->stop(path_ + ": " + std::strerror(avi.errorNumber()));
    }
    std::vector<uint8_t> jpeg, previous;
    for (;;) {
        Queued item;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return closing_ || !queue_.empty(); });
            if (queue_.empty()) break;
            item = std::move(queue_.front());
            queue_.pop_front();
        }
        if (ok && !session_->stopped()) {
            if (!encoder->encode(item.pixels.data(), jpeg, error)) {
                ok = false;
                session_->stop(path_ + ": " + error);
            } else {
                // A gap (a late tick, a dropped frame) holds the frame
                // before; frames before the first hold the first.
                const std::vector<uint8_t>& filler = previous.empty() ? jpeg : previous;
                while (ok && int64_t(avi.frames()) < item.number) ok = avi.writeFrame(filler);
                ok = ok && avi.writeFrame(jpeg);
                if (!ok) session_->stop(path_ + ": " + std::strerror(avi.errorNumber()));
                previous.swap(jpeg);
                written_.store(avi.frames());
            }
        }
        std::lock_guard<std::mutex> lock(mutex_);
        spare_.push_back(std::move(item.pixels));
    }
    // The indexes, when the disk still takes them; without them the file
    // still plays.
    avi.finish();
}

}  // namespace standin
