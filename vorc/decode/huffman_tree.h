// Huffman decoding tree: a plain binary tree built once from a table in DHT
// layout and walked one scan bit at a time by the scan decoders (the pixel
// decoder and the transcoder each own four). Links that lead to no symbol
// point to a self-linked "ground" node, so a codeword that leaves the code
// space shows as a step from ground to ground.
#ifndef VORC_DECODE_HUFFMAN_TREE_H
#define VORC_DECODE_HUFFMAN_TREE_H

#include <cstdint>

class vorcHuffmanTree {
public:
    struct Node {
        Node* child0;
        Node* child1;
        int32_t isLeaf;
        uint8_t symbol;
    };

    vorcHuffmanTree();
    ~vorcHuffmanTree();
    vorcHuffmanTree(const vorcHuffmanTree&) = delete;
    vorcHuffmanTree& operator=(const vorcHuffmanTree&) = delete;

    Node* getRoot() { return root; }

    // Releases every node below root; root and ground stay.
    void clear();
    void deleteSubTree(Node* node);

    // Places a new leaf at the leftmost free position of the given depth
    // below root. 0 on success, 1 on failure (no room, or out of memory).
    int addLeaf(int codeLength, unsigned char symbol);
    int addLeaf(Node* node, int codeLength, Node* leaf);

    void groundUnusedPaths(Node* node);
    int countLeaves();
    int countLeaves(Node* node);

    // Rebuilds the tree from 16 count bytes followed by the symbols
    // (codeLengths count bytes are used). 0 on success; 1 leaves it empty.
    int configureFromTable(const unsigned char* table, int codeLengths);

private:
    // Places a leaf at the end of the path its code's bits take from root,
    // which must be free and lead past no leaf. 0 on success, 1 when memory
    // runs out.
    int placeLeaf(uint32_t code, int codeLength, unsigned char symbol);

    Node* root;
    Node* ground;
};

#endif
