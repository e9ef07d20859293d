// The encoder's code books, from the standard tables every image declares.
#include "vorc/jpeg/block_encoder.h"

#include "vorc/core/scan_decoder.h"

namespace vorc::jpeg {

namespace {

EncoderCodeBook makeCodeBook(const unsigned char* dcTable, const unsigned char* acTable) {
    EncoderCodeBook book;
    const auto fill = [](HuffmanCode* codes, const unsigned char* table) {
        forEachCanonicalCode(table, table + 16, [codes](unsigned char symbol, uint32_t code, int length) {
            codes[symbol] = HuffmanCode{static_cast<uint16_t>(code), static_cast<uint8_t>(length)};
        });
    };
    fill(book.dc, dcTable);
    fill(book.ac, acTable);
    return book;
}

}  // namespace

const EncoderCodeBook& standardCodeBook(ComponentClass componentClass) {
    using Tables = vorcFramewiseTesraScanDecoder;
    static const EncoderCodeBook books[2] = {
        makeCodeBook(Tables::DefaultHuffmanTable_Y_DC, Tables::DefaultHuffmanTable_Y_AC),
        makeCodeBook(Tables::DefaultHuffmanTable_UV_DC, Tables::DefaultHuffmanTable_UV_AC)};
    return books[componentClass];
}

}  // namespace vorc::jpeg
