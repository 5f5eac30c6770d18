#include "search/search_tree.h"

#include <limits>

#include "core/fatal_error.h"

namespace tralix {

void SearchTree::advance_root(Tile tile) {
    Node* child = root_->find_child(tile);
    if (child == nullptr) fatal_stop("Child should have corresponding action");
    Node next = std::move(*child);
    *root_ = std::move(next);  // drops the old root's other children and their subtrees
}

void SearchTree::MoveValues::add(std::span<const float> values) {
    if (values.size() != sum.size()) return;  // a short list: the backup reports it
    for (std::size_t i = 0; i < sum.size(); ++i) sum[i] += values[i];
    ++count;
}

std::array<float, 4> SearchTree::MoveValues::mean() const {
    std::array<float, 4> out{};
    for (std::size_t i = 0; i < sum.size(); ++i) {
        out[i] = count == 0 ? std::numeric_limits<float>::quiet_NaN()
                            : static_cast<float>(sum[i] / count);
    }
    return out;
}

void SearchTree::advance_or_reset(Tile tile) {
    if (root_->find_child(tile) != nullptr) {
        advance_root(tile);
    } else {
        *root_ = Node();
    }
}

}  // namespace tralix
