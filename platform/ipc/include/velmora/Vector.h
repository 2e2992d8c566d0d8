// A small growable array, the container the service manager hands names in.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace velmora {

template <typename T>
class Vector {
public:
    size_t size() const { return mItems.size(); }
    bool isEmpty() const { return mItems.empty(); }
    bool empty() const { return mItems.empty(); }
    const T& operator[](size_t i) const { return mItems[i]; }
    T& operator[](size_t i) { return mItems[i]; }
    const T& itemAt(size_t i) const { return mItems[i]; }
    void add(T item) { mItems.push_back(std::move(item)); }
    void push_back(T item) { mItems.push_back(std::move(item)); }
    void clear() { mItems.clear(); }
    auto begin() const { return mItems.begin(); }
    auto end() const { return mItems.end(); }
    auto begin() { return mItems.begin(); }
    auto end() { return mItems.end(); }

private:
    std::vector<T> mItems;
};

}  // namespace velmora
