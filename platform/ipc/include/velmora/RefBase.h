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
    void incStrong() const { mStrong.fetch_add(1, std::memory_order_relaxed); }
    void decStrong() const {
        if (mStrong.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
    }
    int32_t getStrongCount() const { return mStrong.load(std::memory_order_relaxed); }

    RefBase(const RefBase&) = delete;
    RefBase& operator=(const RefBase&) = delete;

protected:
    RefBase() = default;
    virtual ~RefBase() = default;

private:
    mutable std::atomic<int32_t> mStrong{0};
};

template <typename T>
class sp {
public:
    sp() = default;
    sp(std::nullptr_t) {}
    sp(T* other) : mPtr(other) { if (mPtr) mPtr->incStrong(); }
    sp(const sp& other) : sp(other.mPtr) {}
    sp(sp&& other) noexcept : mPtr(std::exchange(other.mPtr, nullptr)) {}
    template <typename U>
    sp(const sp<U>& other) : sp(other.get()) {}
    template <typename U>
    sp(sp<U>&& other) noexcept : mPtr(other.release()) {}
    ~sp() { if (mPtr) mPtr->decStrong(); }

    sp& operator=(sp other) noexcept {
        std::swap(mPtr, other.mPtr);
        return *this;
    }

    template <typename... Args>
    static sp make(Args&&... args) { return sp(new T(std::forward<Args>(args)...)); }

    T* get() const { return mPtr; }
    T* operator->() const { return mPtr; }
    T& operator*() const { return *mPtr; }
    explicit operator bool() const { return mPtr != nullptr; }
    void clear() { sp().swap(*this); }
    void swap(sp& other) noexcept { std::swap(mPtr, other.mPtr); }

    // Hands the counted reference to the caller without dropping it.
    T* release() { return std::exchange(mPtr, nullptr); }

    template <typename U>
    bool operator==(const sp<U>& other) const { return mPtr == other.get(); }
    bool operator==(std::nullptr_t) const { return mPtr == nullptr; }

private:
    T* mPtr = nullptr;
};

}  // namespace velmora
