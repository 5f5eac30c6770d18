// The board as text: one glyph per tile, a line per row.
#include <cstdio>
#include <string_view>

#include "board/board.h"

namespace tralix {

std::string Board::text() const {
    static constexpr std::string_view glyphs[5] = {"\u2B1C", "\U0001F7E5", "\U0001F7E6",
                                                   "\U0001F7E8", "\U0001F7E9"};
    std::string out;
    out.reserve(static_cast<std::size_t>(tile_count()) * 4 + dim_);
    for (std::uint32_t r = 0; r < dim_; ++r) {
        for (std::uint32_t c = 0; c < dim_; ++c) out += glyphs[cells_[r * dim_ + c] & owner_mask];
        out += '\n';
    }
    return out;
}

void Board::print_board() const {
    const std::string out = text() + "\n";
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
}

}  // namespace tralix
