// Pool blocks come from the C heap with their bookkeeping kept aside, so that a foreign or
// already freed pointer is recognised before anything is touched.
#include "verifier.h"

#include <cstdio>
#include <cstdlib>

namespace platform::kernel {

void Verifier::Fail(std::string_view what) {
    std::fprintf(stderr, "VERIFIER: %.*s\n", static_cast<int>(what.size()), what.data());
    std::fflush(stderr);
    std::abort();
}

void Verifier::FailNthAllocation(unsigned n) {
    std::lock_guard lock(mutex_);
    failCountdown_ = n;
}

void Verifier::FailAllocationsWithTag(ULONG tag) {
    std::lock_guard lock(mutex_);
    failTag_ = tag;
}

void Verifier::StopFailingAllocations() {
    std::lock_guard lock(mutex_);
    failCountdown_ = 0;
    failTag_.reset();
}

std::size_t Verifier::OutstandingBytes(ULONG tag) const {
    std::lock_guard lock(mutex_);
    std::size_t bytes = 0;
    for (const auto& [pointer, block] : blocks_)
        if (block.tag == tag) bytes += block.bytes;
    return bytes;
}

std::size_t Verifier::OutstandingAllocations(ULONG tag) const {
    std::lock_guard lock(mutex_);
    std::size_t count = 0;
    for (const auto& [pointer, block] : blocks_)
        if (block.tag == tag) ++count;
    return count;
}

std::size_t Verifier::OutstandingAllocations() const {
    std::lock_guard lock(mutex_);
    return blocks_.size();
}

std::uint64_t Verifier::AllocationCount() const {
    std::lock_guard lock(mutex_);
    return allocations_;
}

void* Verifier::Allocate(std::size_t bytes, ULONG tag) {
    std::lock_guard lock(mutex_);
    ++allocations_;
    bool fail = failTag_ && *failTag_ == tag;
    if (failCountdown_ > 0 && --failCountdown_ == 0) fail = true;
    if (fail) return nullptr;
    // A zero-byte request still gets a distinct block, as the pool gives one.
    void* pointer = std::malloc(bytes == 0 ? 1 : bytes);
    if (pointer == nullptr) return nullptr;
    blocks_.emplace(pointer, Block{bytes, tag});
    return pointer;
}

void Verifier::Free(void* pointer, std::optional<ULONG> tag) {
    std::unique_lock lock(mutex_);
    auto it = blocks_.find(pointer);
    if (it == blocks_.end()) {
        lock.unlock();
        char text[128];
        std::snprintf(text, sizeof text,
                      "pool freed twice or not allocated from the pool (address %p)", pointer);
        Fail(text);
    }
    if (tag && *tag != it->second.tag) {
        std::string expected = TagText(it->second.tag);
        std::string given = TagText(*tag);
        lock.unlock();
        Fail("pool freed with wrong tag '" + given + "', allocated with '" + expected + "'");
    }
    blocks_.erase(it);
    lock.unlock();
    std::free(pointer);
}

void Verifier::CheckNoPoolWithTags(std::string_view owner, const ULONG* tags, std::size_t count) {
    std::unique_lock lock(mutex_);
    for (const auto& [pointer, block] : blocks_) {
        for (std::size_t i = 0; i < count; ++i) {
            if (block.tag != tags[i]) continue;
            std::string text = "pool leaked by " + std::string(owner) + ": tag '" +
                               TagText(block.tag) + "', " + std::to_string(block.bytes) +
                               " bytes";
            lock.unlock();
            Fail(text);
        }
    }
}

void Verifier::CheckNoPool(std::string_view when) {
    std::unique_lock lock(mutex_);
    if (blocks_.empty()) return;
    const Block block = blocks_.begin()->second;
    lock.unlock();
    Fail("pool leaked " + std::string(when) + ": tag '" + TagText(block.tag) + "', " +
         std::to_string(block.bytes) + " bytes");
}

std::string Verifier::TagText(ULONG tag) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        text.push_back(c >= 0x20 && c < 0x7F ? c : '?');
    }
    return text;
}

}  // namespace platform::kernel
