// Huffman decoding tree. Leaves are placed at the leftmost free position of
// their depth, 0 branch first; fed with symbols by nondecreasing code length
// this yields exactly the canonical code assignment of JPEG, which a table
// is configured by directly.
#include "vorc/decode/huffman_tree.h"

#include <new>

namespace {
vorcHuffmanTree::Node* newNode() { return new vorcHuffmanTree::Node{nullptr, nullptr, 0, 0}; }
}  // namespace

vorcHuffmanTree::vorcHuffmanTree() : root(newNode()), ground(nullptr) {
    try {
        ground = newNode();
    } catch (...) {
        delete root;
        throw;
    }
    ground->child0 = ground;
    ground->child1 = ground;
}

vorcHuffmanTree::~vorcHuffmanTree() {
    clear();
    delete root;
    delete ground;
}

void vorcHuffmanTree::clear() {
    if (root->child0 != nullptr) {
        deleteSubTree(root->child0);
        root->child0 = nullptr;
    }
    if (root->child1 != nullptr) {
        deleteSubTree(root->child1);
        root->child1 = nullptr;
    }
}

void vorcHuffmanTree::deleteSubTree(Node* node) {
    if (node == ground) return;
    if (node->child0 != nullptr) deleteSubTree(node->child0);
    if (node->child1 != nullptr) deleteSubTree(node->child1);
    delete node;
}

int vorcHuffmanTree::addLeaf(int codeLength, unsigned char symbol) {
    Node* leaf = new (std::nothrow) Node{nullptr, nullptr, 1, symbol};
    if (leaf == nullptr) return 1;
    if (addLeaf(root, codeLength, leaf) != 0) {
        delete leaf;
        return 1;
    }
    return 0;
}

int vorcHuffmanTree::addLeaf(Node* node, int codeLength, Node* leaf) {
    if (node->isLeaf != 0 || codeLength < 1) return 1;
    if (codeLength == 1) {
        if (node->child0 == nullptr) {
            node->child0 = leaf;
            return 0;
        }
        if (node->child1 == nullptr) {
            node->child1 = leaf;
            return 0;
        }
        return 1;
    }
    try {
        if (node->child0 == nullptr) node->child0 = newNode();
        if (addLeaf(node->child0, codeLength - 1, leaf) == 0) return 0;
        if (node->child1 == nullptr) node->child1 = newNode();
        return addLeaf(node->child1, codeLength - 1, leaf);
    } catch (const std::bad_alloc&) {
        return 1;
    }
}

void vorcHuffmanTree::groundUnusedPaths(Node* node) {
    if (node == ground) return;
    if (node->child0 == nullptr) {
        node->child0 = ground;
    } else {
        groundUnusedPaths(node->child0);
    }
    if (node->child1 == nullptr) {
        node->child1 = ground;
    } else {
        groundUnusedPaths(node->child1);
    }
}

int vorcHuffmanTree::countLeaves() { return countLeaves(root); }

int vorcHuffmanTree::countLeaves(Node* node) {
    if (node == ground) return 0;
    if (node->isLeaf != 0) return 1;
    int count = 0;
    if (node->child0 != nullptr) count += countLeaves(node->child0);
    if (node->child1 != nullptr) count += countLeaves(node->child1);
    return count;
}

int vorcHuffmanTree::configureFromTable(const unsigned char* table, int codeLengths) {
    clear();
    // The leftmost free position of a depth, for lengths that never
    // decrease, is where the next canonical code leads: each leaf is placed
    // by following its code's bits, without searching the tree for room.
    const unsigned char* symbol = table + 16;
    uint32_t code = 0;
    for (int length = 1; length <= codeLengths; ++length, code <<= 1) {
        for (int i = 0; i < table[length - 1]; ++i, ++code) {
            if (code >> length != 0 || placeLeaf(code, length, *symbol++) != 0) {
                clear();
                return 1;
            }
        }
    }
    groundUnusedPaths(root);
    return 0;
}

int vorcHuffmanTree::placeLeaf(uint32_t code, int codeLength, unsigned char symbol) {
    Node* node = root;
    for (int bit = codeLength - 1; bit > 0; --bit) {
        Node*& next = (code >> bit & 1) != 0 ? node->child1 : node->child0;
        if (next == nullptr) next = new (std::nothrow) Node{nullptr, nullptr, 0, 0};
        if (next == nullptr) return 1;
        node = next;
    }
    Node*& leaf = (code & 1) != 0 ? node->child1 : node->child0;
    leaf = new (std::nothrow) Node{nullptr, nullptr, 1, symbol};
    return leaf == nullptr ? 1 : 0;
}
