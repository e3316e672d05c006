// Writes one MJPEG video stream into an AVI file (OpenDML, so that a file
// may grow past the old format's 1 GB), frame by frame, at a fixed rate.
//
// The file stays playable while it is written: every second of frames the
// sizes and frame counts in its headers are brought up to date and the file
// is flushed, so a program that is killed leaves a file that plays up to
// about the last second written (readers find the frames by scanning, as the
// indexes are written only at the end of each 1 GB part and at close).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace standin {

class AviWriter {
public:
    // Takes the file, open for writing at its start; closes it in the end.
    AviWriter(std::FILE* file, int width, int height, int fps, uint64_t partBytes = kPartBytes);
    ~AviWriter();
    AviWriter(const AviWriter&) = delete;
    AviWriter& operator=(const AviWriter&) = delete;

    // Each call is one frame, 1/fps of a second. False once a write failed
    // (errorNumber() says why); nothing more is written after that.
    bool writeHeader();
    bool writeFrame(const std::vector<uint8_t>& jpeg);
    // Writes the indexes and the final headers, and closes the file.
    bool finish();

    uint64_t frames() const { return frames_; }
    int errorNumber() const { return error_; }

    static constexpr uint64_t kPartBytes = 1000u * 1000u * 1000u;  // each RIFF part stays under 1 GB

private:
    struct Chunk {
        uint64_t offset;  // of its data
        uint32_t size;
    };
    struct Part {
        uint64_t riffOffset;  // of the RIFF chunk's size field
        uint64_t moviOffset;  // of the movi list's size field
        std::vector<Chunk> chunks;
        uint64_t indexOffset = 0;  // of its standard index chunk, once written
        uint32_t indexBytes = 0;
    };
    struct SuperEntry {
        uint64_t offset;
        uint32_t bytes;
        uint32_t frames;
    };

    bool put(const void* data, size_t bytes);
    bool put32(uint32_t v);
    bool put16(uint16_t v);
    bool putTag(const char* tag);
    bool putAt(uint64_t offset, uint32_t v);
    bool beginPart();
    bool endPart();  // the part's standard index, and in the first part the old-style index
    bool updateHeaders(bool final);
    uint64_t tell() const { return position_; }

    std::FILE* file_;
    int width_, height_, fps_;
    uint64_t partBytes_;
    uint64_t position_ = 0;
    uint64_t frames_ = 0;
    uint64_t firstPartFrames_ = 0;
    uint32_t largestChunk_ = 0;  // the frame buffer a reader needs
    std::vector<Part> parts_;
    std::vector<SuperEntry> superIndex_;
    uint64_t superIndexOffset_ = 0;  // the reserved room for the super index
    uint64_t avihFlagsOffset_ = 0, avihFramesOffset_ = 0, strhLengthOffset_ = 0, dmlhFramesOffset_ = 0;
    int error_ = 0;
    bool finished_ = false;
};

}  // namespace standin
