#include "foundation/collector.h"

#include <atomic>
#include <memory>

namespace {
std::atomic<vmCGarbageCollector*> gCollector{nullptr};
}

vmCGarbageCollector::vmCGarbageCollector() {
    Start();
}

vmCGarbageCollector::~vmCGarbageCollector() {
    Stop();
}

void vmCGarbageCollector::Start() {
    timer_ = vmMakeObject<cpCTimer>();
    timer_->Start(
        3000, [this] { OnTick(); }, kTimerIdCollector, nullptr);
}

void vmCGarbageCollector::Stop() {
    if (timer_) {
        timer_->Stop();
        timer_.Reset();
    }
    // Released one by one: a release may run code that adds to the collector again.
    while (!pending_.empty()) {
        Entry entry = std::move(pending_.front());
        pending_.pop_front();
    }
}

vmCGarbageCollector* vmCGarbageCollector::Instance() {
    if (vmCGarbageCollector* collector = gCollector.load(std::memory_order_acquire)) {
        return collector;
    }
    CreateInstance();
    return gCollector.load(std::memory_order_acquire);
}

void vmCGarbageCollector::CreateInstance() {
    if (gCollector.load(std::memory_order_acquire) == nullptr) {
        gCollector.store(std::make_unique<vmCGarbageCollector>().release(),
                         std::memory_order_release);
    }
}

void vmCGarbageCollector::DestroyInstance() {
    std::unique_ptr<vmCGarbageCollector> collector(
        gCollector.exchange(nullptr, std::memory_order_acq_rel));
}

void vmCGarbageCollector::Add(vmSmartPtr<vmIUnknown> object) {
    if (!object) {
        return;
    }
    pending_.push_back({std::move(object), cpGetSeconds() + 3});
}

void vmCGarbageCollector::OnTick() {
    const uint32_t now = cpGetSeconds();
    while (!pending_.empty() && now > pending_.front().dueSeconds) {
        Entry entry = std::move(pending_.front());
        pending_.pop_front();
    }
}
