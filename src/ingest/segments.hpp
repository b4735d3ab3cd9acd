// A column that grows in segments of a fixed size, so growing never copies what it holds: the
// memory of a long read stays near that of its rows, never twice it. Pure C++.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>
#include <vector>

namespace cw::ingest {

template <class T>
class Segmented {
public:
    // Past this size a segment is closed and a new one opened, instead of the vector doubling.
    static constexpr std::size_t k_segment = (std::size_t{16} << 20) / sizeof(T);

    void push_back(const T& value) {
        if (open_.size() == open_.capacity()) [[unlikely]] {
            grow();
        }
        open_.push_back(value);
    }

    [[nodiscard]] std::size_t size() const noexcept { return closed_size_ + open_.size(); }

    // Room for `count` values in all, when the size is known ahead (a file's): the open segment
    // grows to hold them and is handed over without a copy. Pages are only touched as values
    // come, so a guess on the high side costs address space, not memory.
    void reserve(std::size_t count) {
        if (closed_.empty() && count > open_.capacity()) {
            open_.reserve(count);
        }
    }

    // Calls `part` on each stretch of values in order, then lets go of the stretch.
    template <class Part>
    void drain(Part&& part) {
        for (std::vector<T>& segment : closed_) {
            part(std::span<const T>(segment));
            std::vector<T>().swap(segment);
        }
        closed_.clear();
        closed_size_ = 0;
        part(std::span<const T>(open_));
        std::vector<T>().swap(open_);
    }

    // The values as one vector: the open segment itself when it is the only one.
    [[nodiscard]] std::vector<T> take() {
        if (closed_.empty()) {
            return std::move(open_);
        }
        std::vector<T> out;
        out.reserve(size());
        drain([&](std::span<const T> values) { out.insert(out.end(), values.begin(), values.end()); });
        return out;
    }

private:
    void grow() {
        if (open_.capacity() < k_segment) {
            open_.reserve(std::min(k_segment, std::max<std::size_t>(64, open_.capacity() * 2)));
            return;
        }
        closed_size_ += open_.size();
        closed_.push_back(std::move(open_));
        open_ = std::vector<T>();
        open_.reserve(k_segment);
    }

    std::vector<std::vector<T>> closed_;
    std::size_t closed_size_ = 0;
    std::vector<T> open_;
};

}  // namespace cw::ingest
