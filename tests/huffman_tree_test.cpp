// Huffman trees built from the default tables give the canonical JPEG codes.
#include <gtest/gtest.h>

#include <string>

#include "vorc/core/scan_decoder.h"
#include "vorc/decode/huffman_tree.h"

namespace {

using Node = vorcHuffmanTree::Node;
using Tables = vorcFramewiseTesraScanDecoder;

// Walks a codeword given as a string of '0' and '1'; returns the node reached.
const Node* walk(vorcHuffmanTree& tree, const std::string& bits) {
    const Node* node = tree.getRoot();
    for (char bit : bits) node = bit == '1' ? node->child1 : node->child0;
    return node;
}

int symbolOf(vorcHuffmanTree& tree, const std::string& bits) {
    const Node* node = walk(tree, bits);
    return node->isLeaf ? node->symbol : -1;
}

TEST(HuffmanTree, DefaultTablesHaveTheirSymbolCounts) {
    vorcHuffmanTree tree;
    ASSERT_EQ(tree.configureFromTable(Tables::DefaultHuffmanTable_Y_DC, 16), 0);
    EXPECT_EQ(tree.countLeaves(), 12);
    ASSERT_EQ(tree.configureFromTable(Tables::DefaultHuffmanTable_Y_AC, 16), 0);
    EXPECT_EQ(tree.countLeaves(), 162);
    ASSERT_EQ(tree.configureFromTable(Tables::DefaultHuffmanTable_UV_DC, 16), 0);
    EXPECT_EQ(tree.countLeaves(), 12);
    ASSERT_EQ(tree.configureFromTable(Tables::DefaultHuffmanTable_UV_AC, 16), 0);
    EXPECT_EQ(tree.countLeaves(), 162);
}

TEST(HuffmanTree, LuminanceDcCodesAreCanonical) {
    vorcHuffmanTree tree;
    ASSERT_EQ(tree.configureFromTable(Tables::DefaultHuffmanTable_Y_DC, 16), 0);
    const char* codes[12] = {"00",     "010",     "011",      "100",       "101",        "110",
                             "1110",   "11110",   "111110",   "1111110",   "11111110",   "111111110"};
    for (int symbol = 0; symbol < 12; ++symbol) EXPECT_EQ(symbolOf(tree, codes[symbol]), symbol);
    // Nine 1 bits reach ground, whose links lead back to itself.
    const Node* ground = walk(tree, "111111111");
    EXPECT_FALSE(ground->isLeaf);
    EXPECT_EQ(ground->child0, ground);
    EXPECT_EQ(ground->child1, ground);
}

TEST(HuffmanTree, ChrominanceDcAndAcCodes) {
    vorcHuffmanTree dc;
    ASSERT_EQ(dc.configureFromTable(Tables::DefaultHuffmanTable_UV_DC, 16), 0);
    EXPECT_EQ(symbolOf(dc, "00"), 0);
    EXPECT_EQ(symbolOf(dc, "01"), 1);
    EXPECT_EQ(symbolOf(dc, "10"), 2);
    EXPECT_EQ(symbolOf(dc, "110"), 3);
    EXPECT_EQ(symbolOf(dc, "11111111110"), 11);

    vorcHuffmanTree yac;
    ASSERT_EQ(yac.configureFromTable(Tables::DefaultHuffmanTable_Y_AC, 16), 0);
    EXPECT_EQ(symbolOf(yac, "1010"), 0x00);          // EOB
    EXPECT_EQ(symbolOf(yac, "00"), 0x01);
    EXPECT_EQ(symbolOf(yac, "11111111001"), 0xF0);   // ZRL
    EXPECT_EQ(symbolOf(yac, "1111111111111110"), 0xFA);
    vorcHuffmanTree uvac;
    ASSERT_EQ(uvac.configureFromTable(Tables::DefaultHuffmanTable_UV_AC, 16), 0);
    EXPECT_EQ(symbolOf(uvac, "00"), 0x00);
    EXPECT_EQ(symbolOf(uvac, "1111111010"), 0xF0);
}

TEST(HuffmanTree, EmptyAndOverfullTables) {
    unsigned char empty[16] = {};
    vorcHuffmanTree tree;
    ASSERT_EQ(tree.configureFromTable(empty, 16), 0);
    const Node* ground = tree.getRoot()->child0;
    EXPECT_EQ(tree.getRoot()->child1, ground);
    EXPECT_EQ(ground->child0, ground);
    EXPECT_EQ(tree.countLeaves(), 0);

    unsigned char threeOneBitCodes[19] = {3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3};
    EXPECT_EQ(tree.configureFromTable(threeOneBitCodes, 16), 1);
    EXPECT_EQ(tree.getRoot()->child0, nullptr);
    EXPECT_EQ(tree.getRoot()->child1, nullptr);

    unsigned char fiveTwoBitCodes[21] = {0, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5};
    EXPECT_EQ(tree.configureFromTable(fiveTwoBitCodes, 16), 1);
    EXPECT_EQ(tree.countLeaves(), 0);
}

TEST(HuffmanTree, ReconfiguringGivesTheSameCodes) {
    vorcHuffmanTree tree;
    ASSERT_EQ(tree.configureFromTable(Tables::DefaultHuffmanTable_Y_AC, 16), 0);
    ASSERT_EQ(tree.configureFromTable(Tables::DefaultHuffmanTable_Y_AC, 16), 0);
    EXPECT_EQ(tree.countLeaves(), 162);
    EXPECT_EQ(symbolOf(tree, "11111111001"), 0xF0);
    tree.clear();
    EXPECT_EQ(tree.countLeaves(), 0);
}

}  // namespace
