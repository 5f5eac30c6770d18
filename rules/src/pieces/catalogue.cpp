#include "pieces/catalogue.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "core/fatal_error.h"
#include "core/types.h"

namespace tralix {

void check_side(std::uint32_t dim) {
    if (dim < min_side || dim > max_side) {
        fatal_stop("Unsupported board side " + std::to_string(dim) + ": the side must be from " +
                   std::to_string(min_side) + " to " + std::to_string(max_side));
    }
}

Catalogue::Catalogue(std::uint32_t dim) : dim_(dim) {
    for (PieceId id = 0; id < piece_count; ++id) {
        pieces_.push_back(make_piece(id, dim));
        cell_begin_[id] = static_cast<std::uint32_t>(shape_cells_.size());
        const Piece& piece = pieces_.back();
        for (std::size_t j = 0; j < piece.orientations.size(); ++j) {
            const Orientation& o = piece.orientations[j];
            Shape s;
            s.piece = id;
            s.orientation = static_cast<std::uint8_t>(j);
            s.size = static_cast<std::uint8_t>(o.offsets.size());
            // Grid position of each filled cell, in the same row-major order as the offsets.
            std::array<int, 5> rows{}, columns{};
            std::size_t k = 0;
            for (std::size_t r = 0; r < o.grid.size(); ++r) {
                for (std::size_t c = 0; c < o.grid[r].size(); ++c) {
                    if (o.grid[r][c] == 0) continue;
                    s.offsets[k] = o.offsets[k];
                    rows[k] = static_cast<int>(r);
                    columns[k] = static_cast<int>(c);
                    ++k;
                }
            }
            const auto shape_index = static_cast<std::uint16_t>(shapes_.size());
            for (std::uint8_t cell = 0; cell < s.size; ++cell) {
                ShapeCell sc;
                for (std::uint8_t other = 0; other < s.size; ++other) {
                    sc.cells.set(rows[other] - rows[cell], columns[other] - columns[cell]);
                }
                sc.offset = s.offsets[cell];
                sc.shape = shape_index;
                sc.cell = cell;
                shape_cells_.push_back(sc);
            }
            shapes_.push_back(s);
        }
    }
    cell_begin_[piece_count] = static_cast<std::uint32_t>(shape_cells_.size());
}

const Catalogue& Catalogue::for_side(std::uint32_t dim) {
    check_side(dim);
    // Built once per side and never freed, so references stay valid for the process's life.
    static std::array<std::atomic<const Catalogue*>, max_side + 1> built{};
    static std::mutex building;
    if (const Catalogue* c = built[dim].load(std::memory_order_acquire)) return *c;
    std::lock_guard lock(building);
    if (const Catalogue* c = built[dim].load(std::memory_order_acquire)) return *c;
    const Catalogue* c = new Catalogue(dim);
    built[dim].store(c, std::memory_order_release);
    return *c;
}

}  // namespace tralix
