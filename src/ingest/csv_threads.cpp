// A large text read on several threads: cut after line ends into pieces, each read on its own
// into columns of its own, then joined in file order. A cut that falls inside a quoted field
// (or before the header ends) is found afterwards, and the text is then read again in one go,
// so the result never depends on where the cuts fell. The text is in memory, or a file read by
// position in pieces of its own by each thread.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <limits>
#include <mutex>
#include <optional>
#include <span>
#include <thread>

#include "ingest/csv.hpp"
#include "ingest/rows.hpp"

namespace cw::ingest {
namespace {

constexpr std::size_t k_none = std::numeric_limits<std::size_t>::max();
constexpr std::uint64_t k_to_end = std::numeric_limits<std::uint64_t>::max();
// What a file is read by at a time: large enough that a call costs nothing beside the copy,
// small enough to stay in the cache for the rows that read it.
constexpr std::size_t k_file_piece = std::size_t{1} << 20;

// The text in memory, or the file `fd` from byte `start`.
struct Source {
    std::string_view text;
    int fd = -1;
    std::uint64_t start = 0;
    std::uint64_t size = 0;  // the text's bytes, or the file's past `start` when the call began
};

// Up to `count` bytes of the file at `offset`; fewer only where it ends.
std::size_t read_at(int fd, char* into, std::size_t count, std::uint64_t offset) {
    std::size_t got = 0;
    while (got < count) {
        const ssize_t n = ::pread(fd, into + got, count - got, static_cast<off_t>(offset + got));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw ReadFailure{errno};
        }
        if (n == 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    return got;
}

// Reads the file from `begin` to `end` (or its end) into `stream`; true when its last row
// ended with the range, or, when `last`, whatever the range ended with was read.
bool read_range(const Source& source, std::uint64_t begin, std::uint64_t end, bool last,
                rows::Stream& stream, Progress& progress) {
    std::vector<char> buffer(k_file_piece);
    for (std::uint64_t at = begin; at < end;) {
        const std::size_t want = static_cast<std::size_t>(
            std::min<std::uint64_t>(buffer.size(), end - at));
        const std::size_t got = read_at(source.fd, buffer.data(), want, at);
        if (got == 0) {
            break;  // the file is shorter than it was
        }
        stream.feed(std::string_view(buffer.data(), got), progress);
        at += got;
    }
    return stream.finish(last, progress);
}

Parsed read_alone(const Source& source, const Layout& layout, Progress& progress) {
    if (source.fd < 0) {
        return parse_csv(source.text, layout, progress);
    }
    rows::Stream stream(layout);
    stream.expected = static_cast<std::size_t>(source.size);
    read_range(source, source.start, k_to_end, true, stream, progress);
    return rows::hand_over(stream.sink);
}

struct Piece {
    explicit Piece(const Layout& layout) : stream(layout) {}
    std::uint64_t begin = 0;  // offsets in the text, or in the file
    std::uint64_t end = 0;
    rows::Stream stream;
    std::optional<ParseFailure> failure;
    bool whole = false;  // read to its end, its last row ending with it
};

struct Stopped {};

// A piece's reading gives up once the call is stopped, or an earlier piece failed: only the
// first failure in the file counts.
class Watch final : public Progress {
public:
    Watch(const std::atomic<bool>& stop, const std::atomic<std::size_t>& first_failed,
          std::size_t index)
        : stop_(stop), first_failed_(first_failed), index_(index) {}
    void step() override {
        if (stop_.load(std::memory_order_relaxed) ||
            first_failed_.load(std::memory_order_relaxed) < index_) {
            throw Stopped{};
        }
    }

private:
    const std::atomic<bool>& stop_;
    const std::atomic<std::size_t>& first_failed_;
    std::size_t index_;
};

// Where the line holding byte `from` ends (the offset after its line end), or nullopt.
std::optional<std::uint64_t> after_line_end(const Source& source, std::uint64_t from,
                                            char line_end) {
    if (source.fd < 0) {
        const std::size_t found = source.text.find(line_end, static_cast<std::size_t>(from));
        return found == std::string_view::npos ? std::nullopt
                                               : std::optional<std::uint64_t>(found + 1);
    }
    char window[4096];
    // No row is longer than this: past it the cut is not worth a piece.
    for (std::uint64_t at = from; at < from + k_longest_row;) {
        const std::size_t got = read_at(source.fd, window, sizeof window, at);
        const auto* found = static_cast<const char*>(std::memchr(window, line_end, got));
        if (found != nullptr) {
            return at + static_cast<std::uint64_t>(found - window) + 1;
        }
        if (got < sizeof window) {
            break;
        }
        at += got;
    }
    return std::nullopt;
}

std::vector<Piece> cut(const Source& source, const Layout& layout, std::size_t count) {
    std::vector<Piece> pieces;
    pieces.reserve(count);
    const std::uint64_t first = source.fd < 0 ? 0 : source.start;
    const std::uint64_t stop = first + source.size;
    const std::uint64_t step = source.size / count;
    std::uint64_t start = first;
    for (std::size_t k = 1; k < count && start < stop; ++k) {
        const std::optional<std::uint64_t> end =
            after_line_end(source, std::max(start, first + step * k), layout.line_end);
        if (!end || *end >= stop) {
            break;
        }
        pieces.emplace_back(layout);
        pieces.back().begin = start;
        pieces.back().end = *end;
        start = *end;
    }
    pieces.emplace_back(layout);
    pieces.back().begin = start;
    pieces.back().end = source.fd < 0 ? stop : k_to_end;
    return pieces;
}

void read_piece(const Source& source, Piece& piece, bool last, Progress& progress) {
    rows::Stream& stream = piece.stream;
    if (source.fd >= 0) {
        stream.expected = static_cast<std::size_t>(
            std::min<std::uint64_t>(piece.end, source.start + source.size) - piece.begin);
        piece.whole = read_range(source, piece.begin, piece.end, last, stream, progress);
        return;
    }
    const std::string_view text = source.text.substr(
        static_cast<std::size_t>(piece.begin), static_cast<std::size_t>(piece.end - piece.begin));
    std::size_t used = 0;
    if (text.size() > 2 * rows::k_sample) {
        // Its first rows tell how many the piece holds, so its columns are sized once.
        const std::size_t mark = text.find(stream.layout.line_end, rows::k_sample);
        if (mark != std::string_view::npos) {
            used = rows::read_block(text.substr(0, mark + 1), false, stream.layout, stream.cursor,
                                    stream.sink, progress);
            rows::reserve_for(stream.sink, stream.layout, used, text.size());
        }
    }
    used += rows::read_block(text.substr(used), last, stream.layout, stream.cursor, stream.sink,
                             progress);
    piece.whole = used == text.size();
}

template <class T, class Column>
void join(std::vector<Piece>& pieces, std::vector<T>& out, Column&& column_of) {
    std::size_t total = 0;
    for (Piece& piece : pieces) {
        total += column_of(piece).size();
    }
    out.reserve(total);
    for (Piece& piece : pieces) {
        column_of(piece).drain([&](std::span<const T> values) {
            out.insert(out.end(), values.begin(), values.end());
        });
    }
}

Parsed read_threaded(const Source& source, const Layout& layout, std::size_t threads,
                     Progress& progress) {
    // Below a few megabytes a thread costs more than it saves.
    constexpr std::size_t k_least_piece = std::size_t{4} << 20;
    const std::size_t wanted = static_cast<std::size_t>(
        std::min<std::uint64_t>(threads * 4, source.size / k_least_piece));
    if (threads < 2 || wanted < 2) {
        return read_alone(source, layout, progress);
    }
    std::vector<Piece> pieces = cut(source, layout, wanted);
    std::atomic<std::size_t> next{0};
    std::atomic<std::size_t> first_failed{k_none};
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::condition_variable finished;
    std::size_t running = 0;
    std::exception_ptr fault;

    auto work = [&] {
        try {
            for (std::size_t i = next++; i < pieces.size() && !stop; i = next++) {
                if (i > first_failed.load()) {
                    break;
                }
                Piece& piece = pieces[i];
                piece.stream.cursor.skipped = i == 0 ? 0 : layout.skip_rows;
                Watch watch(stop, first_failed, i);
                try {
                    read_piece(source, piece, i + 1 == pieces.size(), watch);
                } catch (ParseFailure& failure) {
                    piece.failure = std::move(failure);
                    std::size_t seen = first_failed.load();
                    while (i < seen && !first_failed.compare_exchange_weak(seen, i)) {
                    }
                }
            }
        } catch (Stopped&) {
        } catch (...) {
            const std::lock_guard lock(mutex);
            fault = fault ? fault : std::current_exception();
            stop = true;
        }
        const std::lock_guard lock(mutex);
        --running;
        finished.notify_all();
    };

    std::vector<std::thread> pool;
    const std::size_t count = std::min(threads, pieces.size());
    pool.reserve(count);
    for (std::size_t t = 0; t < count; ++t) {
        {
            const std::lock_guard lock(mutex);
            ++running;
        }
        try {
            pool.emplace_back(work);
        } catch (...) {
            const std::lock_guard lock(mutex);
            --running;
            break;  // the threads there are share the pieces
        }
    }
    if (pool.empty()) {
        return read_alone(source, layout, progress);
    }
    {
        std::unique_lock lock(mutex);
        while (running != 0) {
            if (finished.wait_for(lock, std::chrono::milliseconds(10)) ==
                    std::cv_status::timeout && !stop) {
                lock.unlock();
                try {
                    progress.step();
                } catch (...) {
                    lock.lock();
                    fault = fault ? fault : std::current_exception();
                    stop = true;
                    continue;
                }
                lock.lock();
            }
        }
    }
    for (std::thread& thread : pool) {
        thread.join();
    }
    if (fault) {
        std::rethrow_exception(fault);
    }

    std::int64_t offset = 0;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        Piece& piece = pieces[i];
        if (piece.failure) {
            piece.failure->line += offset;
            throw std::move(*piece.failure);
        }
        const bool header_read = i > 0 || piece.stream.cursor.skipped == layout.skip_rows;
        if ((!piece.whole || !header_read) && pieces.size() > 1) {
            pieces.clear();
            return read_alone(source, layout, progress);
        }
        offset += piece.stream.cursor.line - 1;
    }

    Parsed out;
    join(pieces, out.bars, [](Piece& p) -> Segmented<Bar>& { return p.stream.sink.bars; });
    out.lines.reserve(out.bars.size());
    offset = 0;
    for (Piece& piece : pieces) {
        piece.stream.sink.lines.drain([&](std::span<const std::int64_t> values) {
            for (const std::int64_t line : values) {
                out.lines.push_back(line + offset);
            }
        });
        offset += piece.stream.cursor.line - 1;
    }
    out.extras.resize(layout.extras.size());
    for (std::size_t k = 0; k < layout.extras.size(); ++k) {
        join(pieces, out.extras[k],
             [k](Piece& p) -> Segmented<double>& { return p.stream.sink.extras[k]; });
    }
    join(pieces, out.local,
         [](Piece& p) -> Segmented<std::uint8_t>& { return p.stream.sink.local; });
    return out;
}

}  // namespace

Parsed parse_csv(std::string_view text, const Layout& layout, std::size_t threads,
                 Progress& progress) {
    Source source;
    source.text = text;
    source.size = text.size();
    return read_threaded(source, layout, threads, progress);
}

Parsed parse_csv_file(int fd, std::uint64_t start, const Layout& layout, std::size_t threads,
                      Progress& progress) {
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        throw ReadFailure{errno};
    }
    Source source;
    source.fd = fd;
    source.start = start;
    const auto size = static_cast<std::uint64_t>(std::max<off_t>(status.st_size, 0));
    source.size = size > start ? size - start : 0;
    return read_threaded(source, layout, threads, progress);
}

}  // namespace cw::ingest
