// The decoding code with its tables built, as a bring-up builds them: the decode cases of
// decode_cases.h through this build's DecodeFrame.
//   decode_check OUTPUT-FILE
#include <cstdio>

#include "decode/decode.h"
#include "decode_cases.h"

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: decode_check OUTPUT-FILE\n");
        return 2;
    }
    std::FILE* out = std::fopen(argv[1], "wb");
    if (!out) {
        std::fprintf(stderr, "decode_check: cannot create %s\n", argv[1]);
        return 1;
    }
    BuildColourTables();
    BuildDecoderTables();
    const int written = WriteDecodeCases(out, DecodeFrame);
    return std::fclose(out) == 0 && written ? 0 : 1;
}
