#include "search/node.h"

#include <algorithm>

namespace tralix {

Node* Node::find_child(Tile t) {
    for (Node& child : children) {
        if (child.tile == t) return &child;
    }
    return nullptr;
}

void Node::insert_child(Tile t, float prior_, Rng& rng) {
    if (Node* existing = find_child(t)) {
        *existing = Node(t, prior_);
        return;
    }
    const std::size_t position = uniform_index(rng, children.size() + 1);
    children.insert(children.begin() + static_cast<std::ptrdiff_t>(position), Node(t, prior_));
}

void Node::add_children(std::span<const std::pair<Tile, float>> entries, Rng& rng) {
    if (entries.empty()) return;
    if (!children.empty()) {
        for (const auto& [t, p] : entries) insert_child(t, p, rng);
        return;
    }
    children.reserve(entries.size());
    for (const auto& [t, p] : entries) children.emplace_back(t, p);
    shuffle_children(rng);
}

void Node::shuffle_children(Rng& rng) {
    // Fisher-Yates with the unbiased index draw.
    for (std::size_t i = children.size(); i > 1; --i) {
        std::swap(children[i - 1], children[uniform_index(rng, i)]);
    }
}

}  // namespace tralix
