// A small growable array, the container the service manager hands names in.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace velmora {

template <typename T>
class Vector {
public:
    size_t size() const { return items_.size(); }
    bool isEmpty() const { return items_.empty(); }
    bool empty() const { return items_.empty(); }
    const T& operator[](size_t i) const { return items_[i]; }
    T& operator[](size_t i) { return items_[i]; }
    const T& itemAt(size_t i) const { return items_[i]; }
    void add(T item) { items_.push_back(std::move(item)); }
    void push_back(T item) { items_.push_back(std::move(item)); }
    void clear() { items_.clear(); }
    auto begin() const { return items_.begin(); }
    auto end() const { return items_.end(); }
    auto begin() { return items_.begin(); }
    auto end() { return items_.end(); }

private:
    std::vector<T> items_;
};

}  // namespace velmora
