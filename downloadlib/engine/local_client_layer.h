// The local engine client layer: the top layer of the library's one connection to the local
// engine. Each send turns one request of the engine downloader into one stream message; each
// message of the engine is decoded and handed to the listener as one call. The layer knows
// nothing of jobs: it is the shared codec (engine/engine_protocol.h) with a listener.
//
// A message the library cannot use (no handler for its category and type, or a payload the codec
// refuses) ends the connection: nothing is read past a payload and the engine downloader
// reconnects. docs/internals/engine-protocol.md says what travels and when.
//
// Worker thread, inside the library mutex.
#pragma once

#include <cstdint>

#include "engine/engine_protocol.h"
#include "foundation/object.h"
#include "stack/net_stack.h"

// What the engine tells the library. Every call carries the context given with the listener.
class nwICDNLocalClientEventListener {
  public:
    virtual void OnConnected(uintptr_t context) = 0;
    virtual void OnJobAccepted(const engine_protocol::JobAccepted& record, uintptr_t context) = 0;
    virtual void OnJobFailed(const engine_protocol::JobFailed& record, uintptr_t context) = 0;
    virtual void OnJobProgress(const engine_protocol::JobProgress& record, uintptr_t context) = 0;
    virtual void OnFileCompleted(const engine_protocol::FileCompleted& record,
                                 uintptr_t context) = 0;
    virtual void OnFileCompletedAt(const engine_protocol::FileCompletedAt& record,
                                   uintptr_t context) = 0;
    virtual void OnJobFinished(const engine_protocol::JobFinished& record, uintptr_t context) = 0;
    virtual void OnJobDiskStatus(const engine_protocol::JobDiskStatus& record,
                                 uintptr_t context) = 0;
    virtual void OnNetworkPoor(uintptr_t context) = 0;
    virtual void OnNetworkBack(uintptr_t context) = 0;
    virtual void OnClosed(uintptr_t context) = 0;
    virtual void OnConnectTimeout(uintptr_t context) = 0;
    virtual void OnResumeQuery(uint32_t job, uintptr_t context) = 0;
    virtual void OnEngineState(uint32_t value, uintptr_t context) = 0;

  protected:
    ~nwICDNLocalClientEventListener() = default;
};

// The layer's public interface. Each send answers NW_OK once the message is queued, NW_FAIL when
// the record does not fit its fields or the connection does not take the bytes.
class vmICDNLocalClientLayer : public vmIUnknown {
  public:
    // The listener is borrowed; null silences the layer.
    virtual vmResult SetListener(nwICDNLocalClientEventListener* listener, uintptr_t context) = 0;
    virtual vmResult SendJobMode(const engine_protocol::JobMode& record) = 0;
    virtual vmResult SendJobCode(const engine_protocol::JobCode& record) = 0;
    virtual vmResult SendFileList(const engine_protocol::FileList& record) = 0;
    virtual vmResult SendFileListBegin(const engine_protocol::FileListBegin& record) = 0;
    virtual vmResult SendFileListEntry(const engine_protocol::FileListEntry& record) = 0;
    virtual vmResult SendFileListEnd(const engine_protocol::FileListEnd& record) = 0;
    virtual vmResult SendStopJob(const engine_protocol::StopJob& record) = 0;
    virtual vmResult SendServiceId(const engine_protocol::ServiceId& record) = 0;
    virtual vmResult SendJobFlag(const engine_protocol::JobFlag& record) = 0;
    virtual vmResult SendEngineOption(const engine_protocol::EngineOption& record) = 0;
    virtual vmResult SendResumeReply(const engine_protocol::ResumeReply& record) = 0;
    virtual vmResult SendStateRequest() = 0;
};

class nwCCDNLocalClientLayer : public nwTLayer<vmICDNLocalClientLayer> {
  public:
    nwCCDNLocalClientLayer();
    ~nwCCDNLocalClientLayer() override;

    vmResult SetListener(nwICDNLocalClientEventListener* listener, uintptr_t context) override;
    vmResult SendJobMode(const engine_protocol::JobMode& record) override;
    vmResult SendJobCode(const engine_protocol::JobCode& record) override;
    vmResult SendFileList(const engine_protocol::FileList& record) override;
    vmResult SendFileListBegin(const engine_protocol::FileListBegin& record) override;
    vmResult SendFileListEntry(const engine_protocol::FileListEntry& record) override;
    vmResult SendFileListEnd(const engine_protocol::FileListEnd& record) override;
    vmResult SendStopJob(const engine_protocol::StopJob& record) override;
    vmResult SendServiceId(const engine_protocol::ServiceId& record) override;
    vmResult SendJobFlag(const engine_protocol::JobFlag& record) override;
    vmResult SendEngineOption(const engine_protocol::EngineOption& record) override;
    vmResult SendResumeReply(const engine_protocol::ResumeReply& record) override;
    vmResult SendStateRequest() override;

    bool OnConnected() override;
    void OnClosed() override;
    bool OnConnectTimeout() override;
    bool OnIdleTimeout() override { return true; }
    // The dispatcher's answer, or an error once a handler met a payload it could not decode.
    int32_t OnData(const uint8_t* data, uint32_t length) override;

  private:
    void Init();
    template <class Record>
    vmResult Send(const Record& record);
    template <class Record>
    static void Handle(const uint8_t* payload, uint32_t length, void* user);
    void Deliver(const engine_protocol::EngineMessage& message);

    nwICDNLocalClientEventListener* listener_ = nullptr;
    uintptr_t context_ = 0;
    // Set by a handler whose payload the codec refused: the connection ends.
    bool broken_ = false;
};

// Registers the layer's class id (0x2015).
void vmRegisterEngineClasses();
