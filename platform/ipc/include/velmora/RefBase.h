// Intrusive reference counting: RefBase holds the strong count, sp<T> is the
// counted strong pointer. An object is deleted when its last sp goes away.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace velmora {

class RefBase {
public:
    void incStrong() const { strong_.fetch_add(1, std::memory_order_relaxed); }
    void decStrong() const {
        if (strong_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
    }
    int32_t getStrongCount() const { return strong_.load(std::memory_order_relaxed); }

    RefBase(const RefBase&) = delete;
    RefBase& operator=(const RefBase&) = delete;

protected:
    RefBase() = default;
    virtual ~RefBase() = default;

private:
    mutable std::atomic<int32_t> strong_{0};
};

template <typename T>
class sp {
public:
    sp() = default;
    sp(std::nullptr_t) {}
    sp(T* other) : ptr_(other) {
        if (ptr_) ptr_->incStrong();
    }
    sp(const sp& other) : sp(other.ptr_) {}
    sp(sp&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    template <typename U>
    sp(const sp<U>& other) : sp(other.get()) {}
    template <typename U>
    sp(sp<U>&& other) noexcept : ptr_(other.release()) {}
    ~sp() {
        if (ptr_) ptr_->decStrong();
    }

    sp& operator=(sp other) noexcept {
        std::swap(ptr_, other.ptr_);
        return *this;
    }

    template <typename... Args>
    static sp make(Args&&... args) {
        return sp(new T(std::forward<Args>(args)...));
    }

    T* get() const { return ptr_; }
    T* operator->() const { return ptr_; }
    T& operator*() const { return *ptr_; }
    explicit operator bool() const { return ptr_ != nullptr; }
    void clear() { sp().swap(*this); }
    void swap(sp& other) noexcept { std::swap(ptr_, other.ptr_); }

    // Hands the counted reference to the caller without dropping it.
    T* release() { return std::exchange(ptr_, nullptr); }

    template <typename U>
    bool operator==(const sp<U>& other) const {
        return ptr_ == other.get();
    }
    bool operator==(std::nullptr_t) const { return ptr_ == nullptr; }

private:
    T* ptr_ = nullptr;
};

}  // namespace velmora
