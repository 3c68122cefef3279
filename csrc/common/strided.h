// Doubles in memory the caller lays out: a column, or rows of three, walked by
// byte steps of any size and sign, at any alignment (a chunk of a byte buffer,
// a Dask block, a broadcast view). No interpreter headers: the element loops
// and the kernels' own files include it.
//
// Every value is read and written through memcpy, which is defined for memory
// of any alignment and compiles to one plain move. The accessors are forced
// inline: the fast module compiles this header once per instruction-set level,
// and an out-of-line copy that one level emitted could be the one the linker
// keeps for every level (this header holds no other function).
#ifndef QUORVANE_COMMON_STRIDED_H
#define QUORVANE_COMMON_STRIDED_H

#include <cstddef>
#include <cstring>

namespace quorvane::common {

[[gnu::always_inline]] inline double read_double(const char* p) noexcept {
    double v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

[[gnu::always_inline]] inline void write_double(char* p, double v) noexcept {
    std::memcpy(p, &v, sizeof v);
}

// Value i at data + i * step bytes; step 0 gives one value for every row.
struct Column {
    const char* data;
    std::ptrdiff_t step;

    [[gnu::always_inline]] double operator[](std::ptrdiff_t i) const noexcept {
        return read_double(data + i * step);
    }
    [[gnu::always_inline]] bool repeated() const noexcept { return step == 0; }
};

// A column to write: value i at data + i * step bytes.
struct OutColumn {
    char* data;
    std::ptrdiff_t step;

    [[gnu::always_inline]] void put(std::ptrdiff_t i, double v) const noexcept {
        write_double(data + i * step, v);
    }
};

// Rows of three doubles: value c of row i at data + i * row + c * col bytes;
// row 0 gives one row for every row.
struct Rows {
    const char* data;
    std::ptrdiff_t row;
    std::ptrdiff_t col;

    [[gnu::always_inline]] double at(std::ptrdiff_t i, int c) const noexcept {
        return read_double(data + i * row + c * col);
    }
    // C-contiguous: (N, 3) doubles one after the other.
    [[gnu::always_inline]] bool packed() const noexcept {
        return row == 3 * std::ptrdiff_t(sizeof(double)) && col == std::ptrdiff_t(sizeof(double));
    }
};

// Rows of three doubles to write, laid out as Rows.
struct OutRows {
    char* data;
    std::ptrdiff_t row;
    std::ptrdiff_t col;

    [[gnu::always_inline]] void put(std::ptrdiff_t i, int c, double v) const noexcept {
        write_double(data + i * row + c * col, v);
    }
    [[gnu::always_inline]] void put(std::ptrdiff_t i, double v0, double v1,
                                    double v2) const noexcept {
        char* p = data + i * row;
        write_double(p, v0);
        write_double(p + col, v1);
        write_double(p + 2 * col, v2);
    }
};

}  // namespace quorvane::common

#endif  // QUORVANE_COMMON_STRIDED_H
