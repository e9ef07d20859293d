// The encoder's code books, from the standard tables every image declares.
#include "vorc/jpeg/block_encoder.h"

#include "vorc/jpeg/standard_tables.h"

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
    static const EncoderCodeBook books[2] = {
        makeCodeBook(standardDCTable(Luminance), standardACTable(Luminance)),
        makeCodeBook(standardDCTable(Chrominance), standardACTable(Chrominance))};
    return books[componentClass];
}

}  // namespace vorc::jpeg
