// The layout written (OpenDML 1.02, little-endian throughout):
//
//   RIFF 'AVI '
//     LIST 'hdrl'  avih, LIST 'strl' (strh, strf, indx), LIST 'odml' (dmlh)
//     LIST 'movi'  00dc chunks, ix00 (this part's standard index)
//     idx1         (the old-style index of the first part)
//   RIFF 'AVIX'
//     LIST 'movi'  00dc chunks, ix00
//   ...
//
// While the file is written the super index (indx) is a JUNK chunk of the
// same size: a reader that finds no index scans the chunks, so a file cut
// short still plays. At the end it becomes the super index.
#include "platform/avicap32/avi_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace standin {

namespace {

constexpr uint32_t kSuperIndexEntries = 256;  // parts of a file: 256 GB
constexpr uint32_t kSuperIndexBytes = 24 + 16 * kSuperIndexEntries;
constexpr uint32_t kAvifHasIndex = 0x10, kAvifIsInterleaved = 0x100;
constexpr uint32_t kAviifKeyframe = 0x10;

int seekTo(std::FILE* file, uint64_t offset) {
#ifdef _WIN32
    return _fseeki64(file, int64_t(offset), SEEK_SET);
#else
    return fseeko(file, off_t(offset), SEEK_SET);
#endif
}

}  // namespace

AviWriter::AviWriter(std::FILE* file, int width, int height, int fps, uint64_t partBytes)
    : file_(file), width_(width), height_(height), fps_(fps > 0 ? fps : 25), partBytes_(partBytes) {
    if (file_ == nullptr) error_ = EBADF;
}

AviWriter::~AviWriter() {
    if (!finished_) finish();
}

bool AviWriter::put(const void* data, size_t bytes) {
    if (error_ != 0) return false;
    if (bytes > 0 && std::fwrite(data, 1, bytes, file_) != bytes) {
        error_ = errno != 0 ? errno : EIO;
        return false;
    }
    position_ += bytes;
    return true;
}

bool AviWriter::put32(uint32_t v) {
    const uint8_t b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
    return put(b, 4);
}

bool AviWriter::put16(uint16_t v) {
    const uint8_t b[2] = {uint8_t(v), uint8_t(v >> 8)};
    return put(b, 2);
}

bool AviWriter::putTag(const char* tag) { return put(tag, 4); }

// Rewrites a 32-bit field earlier in the file; the write position stays at
// the end.
bool AviWriter::putAt(uint64_t offset, uint32_t v) {
    if (error_ != 0) return false;
    const uint64_t end = position_;
    errno = 0;
    if (seekTo(file_, offset) != 0) {
        error_ = errno != 0 ? errno : EIO;
        return false;
    }
    position_ = offset;
    const bool ok = put32(v);
    position_ = end;
    if (seekTo(file_, end) != 0 && error_ == 0) error_ = errno != 0 ? errno : EIO;
    return ok && error_ == 0;
}

bool AviWriter::writeHeader() {
    const uint32_t w = uint32_t(width_), h = uint32_t(height_), rate = uint32_t(fps_);
    putTag("RIFF"), put32(0), putTag("AVI ");
    const uint32_t strlBytes = 4 + (8 + 56) + (8 + 40) + (8 + kSuperIndexBytes);
    const uint32_t odmlBytes = 4 + 8 + 248;
    putTag("LIST"), put32(4 + (8 + 56) + (8 + strlBytes) + (8 + odmlBytes)), putTag("hdrl");

    putTag("avih"), put32(56);
    put32(1000000u / rate), put32(0), put32(0);
    avihFlagsOffset_ = tell();
    put32(kAvifIsInterleaved);
    avihFramesOffset_ = tell();
    put32(0), put32(0), put32(1), put32(0), put32(w), put32(h);
    for (int i = 0; i < 4; ++i) put32(0);

    putTag("LIST"), put32(strlBytes), putTag("strl");
    putTag("strh"), put32(56), putTag("vids"), putTag("MJPG");
    put32(0), put16(0), put16(0), put32(0), put32(1), put32(rate), put32(0);
    strhLengthOffset_ = tell();
    put32(0), put32(0), put32(0xFFFFFFFFu), put32(0);
    put16(0), put16(0), put16(uint16_t(w)), put16(uint16_t(h));
    // BITMAPINFOHEADER
    putTag("strf"), put32(40), put32(40), put32(w), put32(h), put16(1), put16(24), putTag("MJPG");
    put32(w * h * 3), put32(0), put32(0), put32(0), put32(0);
    superIndexOffset_ = tell();
    putTag("JUNK"), put32(kSuperIndexBytes);
    const std::vector<uint8_t> zeros(kSuperIndexBytes, 0);
    put(zeros.data(), zeros.size());

    putTag("LIST"), put32(odmlBytes), putTag("odml"), putTag("dmlh"), put32(248);
    dmlhFramesOffset_ = tell();
    put(zeros.data(), 248);
    return beginPart() && error_ == 0;
}

bool AviWriter::beginPart() {
    if (parts_.size() >= kSuperIndexEntries) {
        error_ = EFBIG;
        return false;
    }
    Part part;
    if (!parts_.empty()) {
        putTag("RIFF");
        part.riffOffset = tell();
        put32(0), putTag("AVIX");
    } else {
        part.riffOffset = 4;
    }
    putTag("LIST");
    part.moviOffset = tell();
    put32(0), putTag("movi");
    parts_.push_back(std::move(part));
    return error_ == 0;
}

bool AviWriter::writeFrame(const std::vector<uint8_t>& jpeg) {
    if (error_ != 0 || finished_ || parts_.empty()) return false;
    const uint64_t chunkBytes = 8 + jpeg.size() + (jpeg.size() & 1);
    // Room for the frame and the part's index, which grows by 8 bytes a frame.
    Part* part = &parts_.back();
    if (!part->chunks.empty() &&
        tell() + chunkBytes + 32 + 8 * (part->chunks.size() + 1) + 16 * (part->chunks.size() + 1) - part->riffOffset >
            partBytes_) {
        if (!endPart() || !beginPart()) return false;
        part = &parts_.back();
    }
    putTag("00dc"), put32(uint32_t(jpeg.size()));
    part->chunks.push_back(Chunk{tell(), uint32_t(jpeg.size())});
    largestChunk_ = std::max(largestChunk_, uint32_t(jpeg.size()));
    put(jpeg.data(), jpeg.size());
    if (jpeg.size() & 1) put("", 1);
    if (error_ != 0) return false;
    ++frames_;
    if (parts_.size() == 1) firstPartFrames_ = frames_;
    // Once a second the headers are brought up to date and the frames handed
    // to the system, so that a file cut short plays up to here.
    if (frames_ % uint64_t(fps_) == 0) return updateHeaders(false);
    return true;
}

bool AviWriter::endPart() {
    Part& part = parts_.back();
    // The standard index: offsets of the frames' data from the part's start.
    part.indexOffset = tell();
    part.indexBytes = uint32_t(8 + 24 + 8 * part.chunks.size());
    putTag("ix00"), put32(part.indexBytes - 8);
    put16(2), put(std::string("\0\1", 2).data(), 2), put32(uint32_t(part.chunks.size())), putTag("00dc");
    put32(uint32_t(part.riffOffset)), put32(uint32_t(part.riffOffset >> 32)), put32(0);
    for (const Chunk& c : part.chunks) put32(uint32_t(c.offset - part.riffOffset)), put32(c.size);
    superIndex_.push_back(SuperEntry{part.indexOffset, part.indexBytes, uint32_t(part.chunks.size())});
    putAt(part.moviOffset, uint32_t(tell() - part.moviOffset - 4));
    if (parts_.size() == 1) {
        // The old-style index, for readers that know nothing newer: offsets
        // of the chunks' headers from the 'movi' tag.
        putTag("idx1"), put32(uint32_t(16 * part.chunks.size()));
        const uint64_t movi = part.moviOffset + 4;
        for (const Chunk& c : part.chunks)
            putTag("00dc"), put32(kAviifKeyframe), put32(uint32_t(c.offset - 8 - movi)), put32(c.size);
    }
    putAt(part.riffOffset, uint32_t(tell() - part.riffOffset - 4));
    return updateHeaders(false);
}

bool AviWriter::updateHeaders(bool final) {
    if (error_ != 0) return false;
    const Part& part = parts_.back();
    if (!final) {
        putAt(part.riffOffset, uint32_t(tell() - part.riffOffset - 4));
        if (part.indexOffset == 0) putAt(part.moviOffset, uint32_t(tell() - part.moviOffset - 4));
    }
    putAt(avihFramesOffset_, uint32_t(firstPartFrames_));
    putAt(avihFramesOffset_ + 12, largestChunk_);  // the suggested buffer size
    putAt(strhLengthOffset_, uint32_t(frames_));
    putAt(strhLengthOffset_ + 4, largestChunk_);
    putAt(dmlhFramesOffset_, uint32_t(frames_));
    if (error_ == 0 && std::fflush(file_) != 0) error_ = errno != 0 ? errno : EIO;
    return error_ == 0;
}

bool AviWriter::finish() {
    if (finished_) return error_ == 0;
    finished_ = true;
    if (error_ == 0 && !parts_.empty() && endPart()) {
        // The reserved room becomes the super index.
        const uint64_t end = tell();
        if (seekTo(file_, superIndexOffset_) != 0) error_ = errno != 0 ? errno : EIO;
        position_ = superIndexOffset_;
        putTag("indx"), put32(kSuperIndexBytes), put16(4), put(std::string("\0\0", 2).data(), 2);
        put32(uint32_t(superIndex_.size())), putTag("00dc"), put32(0), put32(0), put32(0);
        for (const SuperEntry& e : superIndex_)
            put32(uint32_t(e.offset)), put32(uint32_t(e.offset >> 32)), put32(e.bytes), put32(e.frames);
        if (error_ == 0 && seekTo(file_, end) != 0) error_ = errno != 0 ? errno : EIO;
        position_ = end;
        putAt(avihFlagsOffset_, kAvifHasIndex | kAvifIsInterleaved);
        updateHeaders(true);
    }
    if (file_ != nullptr && std::fclose(file_) != 0 && error_ == 0) error_ = errno != 0 ? errno : EIO;
    file_ = nullptr;
    return error_ == 0;
}

}  // namespace standin
