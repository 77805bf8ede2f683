// PieceGate: which pieces of a file libtorrent may write. libtorrent's POSIX disk I/O writes
// straight into the job's part file, where our HTTP transfers write too; a block that reaches
// the disk before its piece is hashed must never land on bytes the server sent. So every write
// passes a gate: a piece handed to peers is open, every other piece is closed, and a write to a
// closed piece is dropped (reported done: a piece offered from our own bytes is on disk
// already). Taking a piece back from peers closes it at once, whatever blocks are still on
// their way.
#pragma once

#include <libtorrent/disk_interface.hpp>
#include <libtorrent/session_params.hpp>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tev::localengine {

class PieceGate {
  public:
    explicit PieceGate(int pieces) : open_(static_cast<size_t>(pieces), 0) {}
    void Open(int piece);
    void Close(int piece);
    bool IsOpen(int piece) const;

  private:
    mutable std::mutex mutex_;
    std::vector<uint8_t> open_;
};

// The gates by the file's path, shared by the engine's loop (which opens and closes pieces) and
// libtorrent's network thread (which writes).
class PieceGates {
  public:
    std::shared_ptr<PieceGate> Add(const std::string& path, int pieces);
    void Remove(const std::string& path);
    // nullptr for a file without a gate: nothing of it may be written.
    std::shared_ptr<PieceGate> Find(const std::string& path) const;

  private:
    mutable std::mutex mutex_;
    std::map<std::string, std::shared_ptr<PieceGate>> gates_;
};

// libtorrent's POSIX disk I/O with every write passing its file's gate.
libtorrent::disk_io_constructor_type GatedDiskIo(std::shared_ptr<PieceGates> gates);

}  // namespace tev::localengine
