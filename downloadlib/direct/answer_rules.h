// The rules by which the direct download judges what a server answered, without any I/O: byte
// ranges, the size check's free-space rule, and URL alternatives.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A "Content-Range" value: "bytes first-last/total", "bytes first-last/*" or "bytes */total".
struct CContentRange {
    int64_t first = -1;  // -1 for "*"
    int64_t last = -1;
    int64_t total = -1;  // -1 when the server did not say
};
// False for anything that is not one of the three forms (or has last before first, a total not
// beyond last, or a last so large that last + 1 would not be a number).
bool ParseContentRange(const std::string& value, CContentRange* out);

// How a 206 answer to "bytes=<position>-" fits what is on disk.
enum class ePartialVerdict {
    kAppend,          // it starts exactly at position and belongs to the same file
    kNotContinuing,   // no usable range, or it does not start at position
    kAnotherVersion,  // its size is not the size learnt for the file: the file changed
};
// knownSize is the size learnt for the file (-1: none). Appending to a prefix of another version
// would splice two files, so from a position above 0 a total other than knownSize (or, without a
// total, a range reaching beyond it) is another version. On kAppend, *fileSize is the whole
// file's size (the total, or last + 1 when none was given).
ePartialVerdict JudgePartialAnswer(const std::string& contentRange, int64_t position,
                                   int64_t knownSize, int64_t* fileSize);

// A 416 answer to "bytes=<localSize>-" means the local file is complete only when its size is
// the server's ("bytes */N") or, when the server gives none, the size learnt before (-1: none).
bool RangeNotSatisfiableMeansDone(const std::string& contentRange, int64_t localSize,
                                  int64_t expectedSize);

// The bytes of a local copy of existingBytes (-1: none) that a download of a file of fileSize
// bytes continues from: all of them, or none when the copy is longer than the file.
int64_t KeptBytes(int64_t existingBytes, int64_t fileSize);

// The size check's verdict on a file of contentLength bytes, of which existingBytes are already
// in its local file, on a drive with freeBytes free.
enum class eSizeVerdict {
    kFits,
    kTooLarge,  // job event 513
    kUnusable,  // job event 517: no usable length, or exactly as large as the free space
};
eSizeVerdict SizeCheckVerdict(int64_t contentLength, int64_t existingBytes, int64_t freeBytes);

// The alternatives of a job file's URL text, split at '|', empty pieces dropped, in order.
std::vector<std::string> SplitAlternatives(const std::string& urlText);
