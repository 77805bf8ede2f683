#include "peers/piece_gate.h"

#include <boost/asio/post.hpp>
#include <libtorrent/disk_buffer_holder.hpp>
#include <libtorrent/file_storage.hpp>
#include <libtorrent/io_context.hpp>
#include <libtorrent/peer_request.hpp>
#include <libtorrent/posix_disk_io.hpp>
#include <libtorrent/storage_defs.hpp>

#include <unordered_map>

namespace tev::localengine {

namespace lt = libtorrent;

void PieceGate::Open(int piece) {
    std::lock_guard lock(mutex_);
    if (piece >= 0 && static_cast<size_t>(piece) < open_.size()) {
        open_[static_cast<size_t>(piece)] = 1;
    }
}

void PieceGate::Close(int piece) {
    std::lock_guard lock(mutex_);
    if (piece >= 0 && static_cast<size_t>(piece) < open_.size()) {
        open_[static_cast<size_t>(piece)] = 0;
    }
}

bool PieceGate::IsOpen(int piece) const {
    std::lock_guard lock(mutex_);
    return piece >= 0 && static_cast<size_t>(piece) < open_.size() &&
           open_[static_cast<size_t>(piece)] != 0;
}

std::shared_ptr<PieceGate> PieceGates::Add(const std::string& path, int pieces) {
    std::lock_guard lock(mutex_);
    auto gate = std::make_shared<PieceGate>(pieces);
    gates_[path] = gate;
    return gate;
}

void PieceGates::Remove(const std::string& path) {
    std::lock_guard lock(mutex_);
    gates_.erase(path);
}

std::shared_ptr<PieceGate> PieceGates::Find(const std::string& path) const {
    std::lock_guard lock(mutex_);
    auto found = gates_.find(path);
    return found != gates_.end() ? found->second : nullptr;
}

namespace {

// Everything goes to the inner disk I/O but the writes a gate closes. Called on libtorrent's
// network thread only.
class GatedDisk final : public lt::disk_interface {
  public:
    GatedDisk(std::unique_ptr<lt::disk_interface> inner, lt::io_context& context,
              std::shared_ptr<PieceGates> gates)
        : inner_(std::move(inner)), context_(context), gates_(std::move(gates)) {}

    lt::storage_holder new_torrent(lt::storage_params const& p,
                                   std::shared_ptr<void> const& torrent) override {
        lt::storage_holder held = inner_->new_torrent(p, torrent);
        const lt::storage_index_t index = held;
        const lt::file_storage& files = p.mapped_files != nullptr ? *p.mapped_files : p.files;
        std::shared_ptr<PieceGate> gate;
        if (files.num_files() == 1) {
            gate = gates_->Find(p.path + "/" + files.file_path(lt::file_index_t{0}));
        }
        gatesByStorage_[index] = gate;
        held_.emplace(index, std::move(held));
        return lt::storage_holder(index, *this);
    }

    void remove_torrent(lt::storage_index_t index) override {
        gatesByStorage_.erase(index);
        held_.erase(index);  // the inner storage goes with its holder
    }

    void async_read(lt::storage_index_t storage, lt::peer_request const& r,
                    std::function<void(lt::disk_buffer_holder, lt::storage_error const&)> handler,
                    lt::disk_job_flags_t flags) override {
        inner_->async_read(storage, r, std::move(handler), flags);
    }

    bool async_write(lt::storage_index_t storage, lt::peer_request const& r, char const* buf,
                     std::shared_ptr<lt::disk_observer> o,
                     std::function<void(lt::storage_error const&)> handler,
                     lt::disk_job_flags_t flags) override {
        auto found = gatesByStorage_.find(storage);
        if (found != gatesByStorage_.end() && found->second &&
            found->second->IsOpen(static_cast<int>(r.piece))) {
            return inner_->async_write(storage, r, buf, std::move(o), std::move(handler), flags);
        }
        // Closed: our own bytes are there already, or the piece is no longer the peers'.
        boost::asio::post(context_, [handler = std::move(handler)] { handler({}); });
        return false;
    }

    void async_hash(
        lt::storage_index_t storage, lt::piece_index_t piece, lt::span<lt::sha256_hash> v2,
        lt::disk_job_flags_t flags,
        std::function<void(lt::piece_index_t, lt::sha1_hash const&, lt::storage_error const&)>
            handler) override {
        inner_->async_hash(storage, piece, v2, flags, std::move(handler));
    }

    void async_hash2(
        lt::storage_index_t storage, lt::piece_index_t piece, int offset,
        lt::disk_job_flags_t flags,
        std::function<void(lt::piece_index_t, lt::sha256_hash const&, lt::storage_error const&)>
            handler) override {
        inner_->async_hash2(storage, piece, offset, flags, std::move(handler));
    }

    void async_move_storage(
        lt::storage_index_t storage, std::string p, lt::move_flags_t flags,
        std::function<void(lt::status_t, std::string const&, lt::storage_error const&)> handler)
        override {
        // Files stay where the job put them.
        boost::asio::post(context_, [handler = std::move(handler), p = std::move(p)] {
            lt::storage_error error;
            error.ec = boost::asio::error::operation_not_supported;
            handler(lt::status_t::fatal_disk_error, p, error);
        });
        (void)storage;
        (void)flags;
    }

    void async_release_files(lt::storage_index_t storage, std::function<void()> handler) override {
        inner_->async_release_files(storage, std::move(handler));
    }

    void async_check_files(
        lt::storage_index_t storage, lt::add_torrent_params const* resume,
        lt::aux::vector<std::string, lt::file_index_t> links,
        std::function<void(lt::status_t, lt::storage_error const&)> handler) override {
        inner_->async_check_files(storage, resume, std::move(links), std::move(handler));
    }

    void async_stop_torrent(lt::storage_index_t storage, std::function<void()> handler) override {
        inner_->async_stop_torrent(storage, std::move(handler));
    }

    void async_rename_file(
        lt::storage_index_t storage, lt::file_index_t index, std::string name,
        std::function<void(std::string const&, lt::file_index_t, lt::storage_error const&)> handler)
        override {
        // Names come from the job: never renamed on libtorrent's behalf.
        boost::asio::post(context_, [handler = std::move(handler), name = std::move(name), index] {
            lt::storage_error error;
            error.ec = boost::asio::error::operation_not_supported;
            handler(name, index, error);
        });
        (void)storage;
    }

    void async_delete_files(lt::storage_index_t storage, lt::remove_flags_t options,
                            std::function<void(lt::storage_error const&)> handler) override {
        // The job's files are the transfers' to remove.
        boost::asio::post(context_, [handler = std::move(handler)] {
            lt::storage_error error;
            error.ec = boost::asio::error::operation_not_supported;
            handler(error);
        });
        (void)storage;
        (void)options;
    }

    void async_set_file_priority(
        lt::storage_index_t storage,
        lt::aux::vector<lt::download_priority_t, lt::file_index_t> prio,
        std::function<void(lt::storage_error const&,
                           lt::aux::vector<lt::download_priority_t, lt::file_index_t>)>
            handler) override {
        inner_->async_set_file_priority(storage, std::move(prio), std::move(handler));
    }

    void async_clear_piece(lt::storage_index_t storage, lt::piece_index_t index,
                           std::function<void(lt::piece_index_t)> handler) override {
        inner_->async_clear_piece(storage, index, std::move(handler));
    }

    void update_stats_counters(lt::counters& c) const override { inner_->update_stats_counters(c); }

    std::vector<lt::open_file_state> get_status(lt::storage_index_t storage) const override {
        return inner_->get_status(storage);
    }

    void abort(bool wait) override { inner_->abort(wait); }
    void submit_jobs() override { inner_->submit_jobs(); }
    void settings_updated() override { inner_->settings_updated(); }

  private:
    std::unique_ptr<lt::disk_interface> inner_;
    lt::io_context& context_;
    std::shared_ptr<PieceGates> gates_;
    std::unordered_map<lt::storage_index_t, std::shared_ptr<PieceGate>> gatesByStorage_;
    std::unordered_map<lt::storage_index_t, lt::storage_holder> held_;
};

}  // namespace

lt::disk_io_constructor_type GatedDiskIo(std::shared_ptr<PieceGates> gates) {
    return [gates](lt::io_context& context, lt::settings_interface const& settings,
                   lt::counters& counters) -> std::unique_ptr<lt::disk_interface> {
        return std::make_unique<GatedDisk>(
            lt::posix_disk_io_constructor(context, settings, counters), context, gates);
    };
}

}  // namespace tev::localengine
