#include "pieces/piece.h"

#include <algorithm>
#include <array>
#include <string>
#include <utility>

#include "core/fatal_error.h"

namespace tralix {
namespace {

struct CatalogueEntry {
    std::string_view name;
    std::string_view grid;  // rows top first, separated by '/', '#' filled and '.' empty
};

// clang-format off
constexpr std::array<CatalogueEntry, piece_count> catalogue_entries{{
    {"I1", "#"},
    {"I2", "##"},
    {"V3", "##/.#"},
    {"I3", "###"},
    {"I4", "####"},
    {"L4", "##/#./#."},
    {"T4", "###/.#."},
    {"O4", "##/##"},
    {"Z4", "##./.##"},
    {"I5", "#####"},
    {"L5", "####/#..."},
    {"N5", "###./..##"},
    {"P5", "###/##."},
    {"V5", "###/#../#.."},
    {"W5", "##./.##/..#"},
    {"Z5", "##./.#./.##"},
    {"U5", "###/#.#"},
    {"Y5", "####/.#.."},
    {"X5", ".#./###/.#."},
    {"F5", ".#./###/#.."},
    {"T5", "###/.#./.#."},
}};
// clang-format on

const CatalogueEntry& entry(PieceId id) {
    if (id >= piece_count) fatal_stop("Invalid piece id " + std::to_string(id));
    return catalogue_entries[id];
}

bool same_mask(const Orientation& a, const Orientation& b) {
    return a.mask.size() == b.mask.size() && a.mask == b.mask;
}

// Appends the four clockwise turns of start, each only if its mask is new.
void add_turns(std::vector<Orientation>& kept, Grid start, std::uint32_t dim) {
    Grid current = std::move(start);
    for (int turn = 0; turn < 4; ++turn) {
        Orientation candidate = orientation_from_grid(current, dim);
        bool seen = false;
        for (const Orientation& o : kept) seen = seen || same_mask(o, candidate);
        if (!seen) kept.push_back(std::move(candidate));
        current = rotate_clockwise(std::move(current));
    }
}

}  // namespace

std::string_view piece_name(PieceId id) { return entry(id).name; }

Grid base_grid(PieceId id) {
    Grid grid(1);
    for (char c : entry(id).grid) {
        if (c == '/') {
            grid.emplace_back();
        } else {
            grid.back().push_back(c == '#' ? 1 : 0);
        }
    }
    return grid;
}

Grid rotate_clockwise(Grid grid) {
    const std::size_t h = grid.size();
    const std::size_t w = grid[0].size();
    Grid turned(w, std::vector<std::uint8_t>(h));
    for (std::size_t i = 0; i < w; ++i) {
        for (std::size_t j = 0; j < h; ++j) turned[i][j] = grid[h - 1 - j][i];
    }
    return turned;
}

Grid mirror(Grid grid) {
    for (auto& row : grid) std::reverse(row.begin(), row.end());
    return grid;
}

Orientation orientation_from_grid(Grid grid, std::uint32_t dim) {
    Orientation o;
    for (std::size_t i = 0; i < grid.size(); ++i) {
        o.mask.insert(o.mask.end(), grid[i].begin(), grid[i].end());
        if (i + 1 < grid.size()) o.mask.insert(o.mask.end(), dim - grid[i].size(), 0);
    }
    for (std::size_t k = 0; k < o.mask.size(); ++k) {
        if (o.mask[k] != 0) o.offsets.push_back(static_cast<std::uint32_t>(k));
    }
    o.width = static_cast<std::uint32_t>(grid[0].size());
    o.grid = std::move(grid);
    return o;
}

Piece make_piece(PieceId id, std::uint32_t dim) {
    Piece piece;
    piece.id = id;
    piece.grid = base_grid(id);
    for (const auto& row : piece.grid) {
        for (std::uint8_t cell : row) piece.size += cell;
    }
    add_turns(piece.orientations, piece.grid, dim);
    add_turns(piece.orientations, mirror(piece.grid), dim);
    return piece;
}

}  // namespace tralix
