// Files the downloads write into, with a seam that makes writes fail as on a full disk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// What counts as a full disk: ENOSPC, EDQUOT or EFBIG.
bool cpIsDiskFullError(int error);

// The size of the regular file at path, or -1 when there is none.
int64_t cpFileSize(const std::string& path);

// One file open for reading and writing. Opening keeps what is there, so a download can resume
// from the end. Results are 0 or an errno value.
class cpCFile {
  public:
    cpCFile() = default;
    ~cpCFile();
    cpCFile(const cpCFile&) = delete;
    cpCFile& operator=(const cpCFile&) = delete;

    // Creates the file when it is missing; an open file is closed first.
    int Open(const std::string& path);
    bool IsOpen() const { return fd_ >= 0; }
    // Moves to the end of the file; its size, or -1.
    int64_t SeekToEnd();
    // Writes every byte at the current position. On failure *written still counts the bytes that
    // reached the file (they stay: the file remains a correct prefix).
    int Write(const void* data, size_t length, size_t* written);
    // Cuts the file to size and moves to its end.
    int Truncate(int64_t size);
    void Close();

  private:
    int fd_ = -1;
};

// Writes every byte to an open descriptor, through the write-failure seam below. 0 or an errno
// value; on failure some of the bytes may have reached the file.
int cpWriteAll(int fd, const void* data, size_t length);

// The write-failure seam: once armed, writes succeed for `bytes` more bytes in all, then fail
// with `error` until cleared; FailTruncate makes every truncation fail with `error`. Any thread.
namespace cpTestWriteFailure {
void FailAfter(int64_t bytes, int error);
void FailTruncate(int error);
void Clear();
}  // namespace cpTestWriteFailure
