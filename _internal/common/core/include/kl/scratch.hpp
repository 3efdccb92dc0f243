// A short-lived array of trivial values that lives on the stack while it is
// small: a call that reads a handful of items should not pay for malloc and
// free, which cost more than the work on a short reply.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <type_traits>

namespace kl {

// Asks a Scratch to leave its elements as they come: for an array whose
// every element is written before it is read.
struct Uninitialised {};
inline constexpr Uninitialised kUninitialised{};

template <class T, std::size_t N>
class Scratch {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

public:
    // n value-initialised elements.
    explicit Scratch(std::size_t n) : n_(n) {
        if (n <= N) {
            p_ = reinterpret_cast<T*>(raw_);
            for (std::size_t i = 0; i < n; ++i) ::new (static_cast<void*>(p_ + i)) T();
        } else {
            heap_ = std::make_unique<T[]>(n);  // value-initialised
            p_ = heap_.get();
        }
    }
    // n elements left as they come (a trivial T unset): the caller writes
    // each before reading it.
    Scratch(std::size_t n, Uninitialised) : n_(n) {
        if (n <= N) {
            p_ = reinterpret_cast<T*>(raw_);
        } else {
            heap_.reset(new T[n]);  // default-initialised: unset unless T sets its members
            p_ = heap_.get();
        }
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    T* data() noexcept { return p_; }
    const T* data() const noexcept { return p_; }
    std::size_t size() const noexcept { return n_; }
    T& operator[](std::size_t i) noexcept { return p_[i]; }
    const T& operator[](std::size_t i) const noexcept { return p_[i]; }

private:
    std::size_t n_;
    T* p_;
    std::unique_ptr<T[]> heap_;
    // Raw bytes, so that the elements not asked for are never constructed.
    alignas(T) unsigned char raw_[N * sizeof(T)];
};

}  // namespace kl
