// Huffman trees built from the default tables give the canonical JPEG codes;
// tables with more codes than fit leave the tree empty. (A codeword that
// leaves the code space is a death test of the scan decoder.)
#include "vorc/decode/huffman_tree.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vorc/core/scan_decoder.h"

namespace {

using Tables = vorcFramewiseTesraScanDecoder;

TEST(HuffmanTree, DefaultTablesGiveTheCanonicalCodesAndOverfullTablesNone) {
    struct Case {
        const unsigned char* table;
        int leaves;
        std::vector<std::string> codes;
        std::vector<int> symbols;
    };
    // In the AC tables 0x00 is the block end and 0xF0 a run of 16 zeros.
    const Case cases[] = {
        {Tables::DefaultHuffmanTable_Y_DC,
         12,
         {"00", "010", "011", "100", "110", "1110", "111111110"},
         {0, 1, 2, 3, 5, 6, 11}},
        {Tables::DefaultHuffmanTable_UV_DC,
         12,
         {"00", "01", "10", "110", "11111111110"},
         {0, 1, 2, 3, 11}},
        {Tables::DefaultHuffmanTable_Y_AC,
         162,
         {"1010", "00", "11111111001", "1111111111111110"},
         {0x00, 0x01, 0xF0, 0xFA}},
        {Tables::DefaultHuffmanTable_UV_AC, 162, {"00", "1111111010"}, {0x00, 0xF0}}};
    vorcHuffmanTree tree;  // reconfigured for each table
    for (const Case& c : cases) {
        ASSERT_EQ(tree.configureFromTable(c.table, 16), 0);
        EXPECT_EQ(tree.countLeaves(), c.leaves);
        for (size_t k = 0; k < c.codes.size(); ++k) {
            const vorcHuffmanTree::Node* node = tree.getRoot();
            for (char bit : c.codes[k]) node = bit == '1' ? node->child1 : node->child0;
            EXPECT_EQ(node->isLeaf ? node->symbol : -1, c.symbols[k]) << c.codes[k];
        }
    }
    // Three 1-bit or five 2-bit codes do not fit: failure, and an empty tree.
    unsigned char threeOneBitCodes[19] = {3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3};
    EXPECT_EQ(tree.configureFromTable(threeOneBitCodes, 16), 1);
    EXPECT_EQ(tree.getRoot()->child0, nullptr);
    EXPECT_EQ(tree.getRoot()->child1, nullptr);
    unsigned char fiveTwoBitCodes[21] = {0, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                         0, 0, 0, 0, 0, 1, 2, 3, 4, 5};
    EXPECT_EQ(tree.configureFromTable(fiveTwoBitCodes, 16), 1);
    EXPECT_EQ(tree.countLeaves(), 0);
}

}  // namespace
