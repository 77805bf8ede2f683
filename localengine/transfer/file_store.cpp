// The file store: part and control files beside each target, checkpoints, completions and what
// a stopped job leaves on disk.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "transfer/file_io.h"
#include "transfer/final_record.h"
#include "transfer/peer_hooks.h"
#include "transfer/transfer_state.h"

namespace tev::localengine {

namespace {

bool MakeFolders(const std::string& folder) {
    std::string path;
    size_t at = 1;
    while (at <= folder.size()) {
        size_t next = folder.find('/', at);
        if (next == std::string::npos) {
            next = folder.size();
        }
        path = folder.substr(0, next);
        if (!path.empty() && mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
            return false;
        }
        at = next + 1;
    }
    struct stat info {};
    return stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

void Transfers::InspectFile(Job& job, File& file) {
    struct stat info {};
    const bool finalExists = lstat(file.target.c_str(), &info) == 0 && S_ISREG(info.st_mode);
    if (finalExists) {
        // Complete from an earlier run, if the server still has that version: its first answer
        // tells (one byte is asked for).
        std::optional<FinalRecord> record = ReadFinalRecord(file.target);
        if (record && record->size == static_cast<uint64_t>(info.st_size) &&
            (!file.size || *file.size == record->size)) {
            file.finalAtStart = std::move(record);
            job.startFirst.push_back(file.index);  // its first answer decides, early
            return;
        }
    }
    if (const std::optional<ControlRecord> control = ReadControlFile(file.controlPath)) {
        struct stat part {};
        // Bytes recorded without a validator cannot be matched to the server's file: they
        // count as nothing, and the file is fetched again.
        if (!control->done.Empty() && control->validator.kind != Validator::None &&
            lstat(file.partPath.c_str(), &part) == 0 && S_ISREG(part.st_mode)) {
            file.hasOldData = true;
            if (!file.size) {
                // The job's size is reported before the resume question is asked: the stored
                // size stands in until an answer says otherwise.
                file.size = control->size;
            }
        }
    } else if (finalExists && info.st_size > 0 && file.size &&
               static_cast<uint64_t>(info.st_size) < *file.size) {
        // Without a size from the job nothing tells a prefix from a whole older file: such a
        // file is fetched anew and replaced once complete.
        file.hasOldData = true;  // a prefix left under the final name by the direct downloader
    }
    if (file.hasOldData) {
        job.questions.push_back(file.index);
    }
}

bool Transfers::AdoptFinalFile(Job& job, File& file, const Validator& answered) {
    if (!file.finalAtStart) {
        return false;
    }
    const FinalRecord recorded = *file.finalAtStart;
    file.finalAtStart.reset();  // one answer decides; else the file is fetched as usual
    struct stat info {};
    // Read again: the file may have changed since the job began.
    const std::optional<FinalRecord> current = ReadFinalRecord(file.target);
    if (!file.size || *file.size != recorded.size || answered.kind == Validator::None ||
        answered != recorded.validator || !file.written.Empty() || current != recorded ||
        lstat(file.target.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<uint64_t>(info.st_size) != recorded.size) {
        return false;
    }
    DropTransfers(file, nullptr);
    // The part file holds nothing yet; removed while its lock is still held.
    unlink(file.partPath.c_str());
    unlink(file.controlPath.c_str());
    CloseFile(file);
    file.state = File::Complete;
    Later(0,
          [this, number = job.number, index = file.index] { listener_.OnFileDone(number, index); });
    return true;
}

bool Transfers::ActivateFile(Job& job, File& file) {
    if (!MakeFolders(file.folder)) {
        FailFile(job, file, FailureKind::WriteError,
                 "cannot create the folder " + file.folder + ": " + std::strerror(errno));
        return false;
    }
    struct stat info {};
    if (lstat(file.target.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
        FailFile(job, file, FailureKind::WriteError,
                 "refused target " + file.target + ": it is a symbolic link");
        return false;
    }
    const bool prefixUnderFinal = lstat(file.target.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
                                  info.st_size > 0 && file.hasOldData && file.size &&
                                  static_cast<uint64_t>(info.st_size) < *file.size;
    const uint64_t prefixLength = prefixUnderFinal ? static_cast<uint64_t>(info.st_size) : 0;
    file.fd = open(file.partPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (file.fd < 0) {
        FailFile(job, file, FailureKind::WriteError,
                 "cannot open " + file.partPath + ": " + std::strerror(errno));
        return false;
    }
    if (flock(file.fd, LOCK_EX | LOCK_NB) != 0) {
        close(file.fd);
        file.fd = -1;
        FailFile(job, file, FailureKind::WriteError,
                 file.target + " is being downloaded by another job");
        return false;
    }
    std::optional<ControlRecord> control = ReadControlFile(file.controlPath);
    if (!file.keepOldData) {
        control.reset();
        if (prefixUnderFinal) {
            unlink(file.target.c_str());
        }
    }
    if (control && file.sizeFromJob && control->size != *file.size) {
        control.reset();  // recorded for another version of the file
    }
    if (control && control->validator.kind == Validator::None) {
        control.reset();  // nothing ties these bytes to the server's file
    }
    if (control) {
        struct stat part {};
        fstat(file.fd, &part);
        // Never trust more than the part file holds.
        ByteRanges done;
        for (const ByteRange& r : control->done.Ranges()) {
            done.Add(r.begin, std::min<uint64_t>(r.end, static_cast<uint64_t>(part.st_size)));
        }
        file.size = control->size;
        file.validator = control->validator;
        file.written = done;
        file.synced = done;
        file.recorded = done;
        return true;
    }
    if (ftruncate(file.fd, 0) != 0) {
        FailFile(job, file, FailureKind::WriteError,
                 "cannot write " + file.partPath + ": " + std::strerror(errno));
        return false;
    }
    unlink(file.controlPath.c_str());
    if (prefixUnderFinal && file.keepOldData) {
        // The control file first: a crash between the two steps leaves a record of data the part
        // file lacks, which the next run clips, and the prefix still under the final name.
        if (file.size) {
            ControlRecord record{*file.size, {}, {}};
            record.done.Add(0, prefixLength);
            WriteControlFile(file.controlPath, record);
        }
        const int oldFd = file.fd;
        if (rename(file.target.c_str(), file.partPath.c_str()) == 0) {
            file.fd = open(file.partPath.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
            close(oldFd);
            if (file.fd < 0 || flock(file.fd, LOCK_EX | LOCK_NB) != 0) {
                if (file.fd >= 0) {
                    close(file.fd);
                }
                file.fd = -1;
                FailFile(job, file, FailureKind::WriteError,
                         file.target + " is being downloaded by another job");
                return false;
            }
            file.written.Add(0, prefixLength);
            file.synced = file.written;
            file.recorded = file.written;
        }
    }
    return true;
}

bool Transfers::FlushBuffer(Transfer& transfer) {
    if (transfer.buffer.empty()) {
        return true;
    }
    File& file = *transfer.file;
    if (!WriteAll(file.fd, transfer.buffer.data(), transfer.buffer.size(), transfer.bufferAt)) {
        const int error = errno;
        if (IsDiskFullError(error)) {
            transfer.pausedByDisk = true;
            transfer.wantsPause = true;
            PauseForDisk(*transfer.job);
        } else {
            transfer.failure =
                std::string("cannot write ") + file.partPath + ": " + std::strerror(error);
            transfer.failureIsFinal = true;
            transfer.failureKind = FailureKind::WriteError;
        }
        return false;
    }
    file.written.Add(transfer.bufferAt, transfer.bufferAt + transfer.buffer.size());
    transfer.bufferAt += transfer.buffer.size();
    Written(file, transfer.buffer.size());
    transfer.buffer.clear();
    return true;
}

void Transfers::ResetFile(Job& job, File& file, const char*) {
    if (peers_ != nullptr) {
        peers_->FileClosed(job.number, file.index);  // the bytes peers knew of are gone
    }
    file.sync->Wait();       // a checkpoint under way must not record the old bytes afterwards
    file.sync->TakeError();  // of bytes that are dropped now anyway
    DropTransfers(file, nullptr);
    file.written.Clear();
    file.synced.Clear();
    file.recorded.Clear();
    file.validator = {};
    file.answersRanges = false;
    file.wholeBody = false;
    file.growth.wanted = 1;
    file.growth.done = false;
    file.growth.speedBefore = 0;
    file.growth.holdMs = 0;
    file.grewAtMs = EventLoop::NowMs();
    file.receivedAtGrowth = file.received;
    file.unsyncedBytes = 0;
    if (!file.sizeFromJob) {
        file.size.reset();
    }
    // The record goes before any new byte can land over the old ones.
    unlink(file.controlPath.c_str());
    SyncFolderOf(file.controlPath);
    if (file.fd >= 0 && ftruncate(file.fd, 0) != 0) {
        // Stale bytes beyond the new data are never claimed by the record; nothing to undo.
    }
}

bool Transfers::SyncFile(File& file) {
    file.sync->Wait();
    return file.fd < 0 || SyncData(file.fd);
}

int Transfers::TakeSyncResult(File& file) {
    // Whatever the lane wrote before a failure counts as written before it is dropped below.
    DrainLanes(file);
    const int error = file.sync->TakeError();
    if (error == 0) {
        file.recorded = file.synced;  // every snapshot handed over is now in the record
        return 0;
    }
    // A failed fdatasync may have lost the pages it could not write, and a later one would not
    // say so: whatever the last record does not claim is fetched again.
    file.written = file.recorded;
    file.synced = file.recorded;
    file.unsyncedBytes = 0;
    return error;
}

bool Transfers::TakeSyncFailure(Job& job, File& file) {
    const int error = TakeSyncResult(file);
    if (error == 0) {
        return false;
    }
    if (IsDiskFullError(error)) {
        PauseForDisk(job);  // the bytes come again once the disk has room
    } else {
        FailFile(job, file, FailureKind::WriteError,
                 "cannot sync " + file.partPath + ": " + std::strerror(error));
    }
    return true;
}

void Transfers::CloseFile(File& file) {
    file.sync->Wait();
    if (file.fd >= 0) {
        close(file.fd);  // releases the lock
        file.fd = -1;
    }
}

void Transfers::CompleteFileIfDone(Job& job, File& file) {
    if (!file.size || !file.transfers.empty() || !file.written.Covers(0, *file.size)) {
        return;
    }
    if (peers_ != nullptr && !peers_->ReadyToComplete(job.number, file.index)) {
        return;  // PeersSettled comes back here
    }
    // The sync, rename and folder sync wait for the disk: they run on the checkpointer's
    // threads, and the next file starts meanwhile.
    file.sync->Wait();
    if (TakeSyncFailure(job, file)) {
        return;  // the bytes a failed sync may have lost are fetched again first
    }
    if (checkpointer_->SubmitCompletion(file.sync, file.fd, file.partPath, file.target,
                                        file.controlPath, {*file.size, file.validator})) {
        file.state = File::Completing;
    }
}

void Transfers::FinishCompletion(Job& job, File& file) {
    if (file.sync->Completed()) {
        CloseFile(file);
        file.state = File::Complete;
        if (peers_ != nullptr) {
            peers_->FileComplete(job.number, file.index, file.target);
        }
        Later(0, [this, number = job.number, index = file.index] {
            listener_.OnFileDone(number, index);
        });
        return;
    }
    const bool writeStep = file.sync->FailedStep() == CompletionStep::Write;
    // A failed cut or sync: what the record does not claim may be lost (fetched again).
    const int error = writeStep ? TakeSyncResult(file) : file.sync->TakeError();
    file.state = File::Active;
    if (writeStep && IsDiskFullError(error)) {
        PauseForDisk(job);  // tried again once the disk has room
        return;
    }
    FailFile(job, file, FailureKind::WriteError,
             std::string(file.sync->FailedStep() == CompletionStep::Write ? "cannot write "
                                                                          : "cannot rename ") +
                 file.partPath + ": " + std::strerror(error));
}

void Transfers::Checkpoint() {
    checkpointTimer_ = loop_.AddTimer(settings_.checkpointMs, [this] { Checkpoint(); });
    for (auto& [number, job] : jobs_) {
        for (File* file : job->Working()) {
            if (file->state != File::Active) {
                continue;
            }
            if (file->sync->Busy()) {
                continue;
            }
            if (TakeSyncFailure(*job, *file)) {
                if (job->ended) {
                    break;
                }
                continue;
            }
            DrainLanes(*file);
            CheckpointFile(*file);
            if (peers_ != nullptr && file->fd >= 0) {
                peers_->OnDisk(number, file->index, file->written, file->fd);
            }
        }
    }
    AfterCurl();
}

void Transfers::Written(File& file, uint64_t length) {
    file.unsyncedBytes += length;
    if (length > 0) {
        file.lastByteMs = EventLoop::NowMs();
    }
    // On a fast line a second is a lot of data: a crash must not cost more than a bounded
    // amount, so a checkpoint also follows every so many bytes.
    if (file.unsyncedBytes >= settings_.checkpointBytes) {
        CheckpointFile(file);
    }
}

void Transfers::CheckpointFile(File& file) {
    if (!file.size || file.written == file.synced || file.sync->Busy()) {
        return;
    }
    if (checkpointer_->Submit(file.sync, file.fd, file.controlPath,
                              {*file.size, file.validator, file.written})) {
        file.synced = file.written;
        file.unsyncedBytes = 0;
    }
}

void Transfers::PutAway(File& file, StopMode mode) {
    if (file.fd < 0) {
        return;
    }
    if (file.state == File::Completing) {
        file.sync->Wait();
        if (file.sync->Completed()) {
            CloseFile(file);  // under its final name: nothing of it is left to keep
            file.state = File::Complete;
            return;
        }
        file.state = File::Active;
    }
    file.sync->Wait();
    // A failed checkpoint not yet taken in: no record claims more than the last one did.
    const bool synced = TakeSyncResult(file) == 0 && SyncFile(file);
    if (!file.size) {
        // Nothing says how much of the file these bytes are: no record can describe them and
        // no prefix can be handed over, so they go, and the final name is never touched.
        unlink(file.controlPath.c_str());
        unlink(file.partPath.c_str());
    } else if (mode == StopMode::KeepParts) {
        // A record claims only synced bytes: when the sync failed, the last record (of bytes
        // synced before) stays as it is.
        if (synced && (file.written != file.synced || !file.written.Empty())) {
            WriteControlFile(file.controlPath, {*file.size, file.validator, file.written});
        }
    } else {
        // The direct downloader resumes from a prefix under the final name; bytes after the
        // first hole cannot be handed over.
        const uint64_t prefix = file.written.ContiguousPrefix();
        unlink(file.controlPath.c_str());
        if (synced && prefix > 0 && prefix <= *file.size &&
            ftruncate(file.fd, static_cast<off_t>(prefix)) == 0 && SyncData(file.fd) &&
            rename(file.partPath.c_str(), file.target.c_str()) == 0) {
            SyncFolderOf(file.target);
        } else {
            unlink(file.partPath.c_str());
        }
    }
    CloseFile(file);
}

}  // namespace tev::localengine
