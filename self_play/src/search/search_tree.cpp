#include "search/search_tree.h"

#include "core/fatal_error.h"

namespace tralix {

void SearchTree::advance_root(Tile tile) {
    Node* child = root_->find_child(tile);
    if (child == nullptr) fatal_stop("Child should have corresponding action");
    Node next = std::move(*child);
    *root_ = std::move(next);  // drops the old root's other children and their subtrees
}

void SearchTree::advance_or_reset(Tile tile) {
    if (root_->find_child(tile) != nullptr) {
        advance_root(tile);
    } else {
        *root_ = Node();
    }
}

}  // namespace tralix
