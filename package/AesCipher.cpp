#include "package/AesCipher.h"

#include <algorithm>
#include <array>
#include <utility>

namespace {

constexpr std::uint8_t S[256] = {
    0x63, 0x7c, 0x77, 0x7b, 0xf2, 0x6b, 0x6f, 0xc5, 0x30, 0x01, 0x67, 0x2b, 0xfe, 0xd7, 0xab, 0x76,
    0xca, 0x82, 0xc9, 0x7d, 0xfa, 0x59, 0x47, 0xf0, 0xad, 0xd4, 0xa2, 0xaf, 0x9c, 0xa4, 0x72, 0xc0,
    0xb7, 0xfd, 0x93, 0x26, 0x36, 0x3f, 0xf7, 0xcc, 0x34, 0xa5, 0xe5, 0xf1, 0x71, 0xd8, 0x31, 0x15,
    0x04, 0xc7, 0x23, 0xc3, 0x18, 0x96, 0x05, 0x9a, 0x07, 0x12, 0x80, 0xe2, 0xeb, 0x27, 0xb2, 0x75,
    0x09, 0x83, 0x2c, 0x1a, 0x1b, 0x6e, 0x5a, 0xa0, 0x52, 0x3b, 0xd6, 0xb3, 0x29, 0xe3, 0x2f, 0x84,
    0x53, 0xd1, 0x00, 0xed, 0x20, 0xfc, 0xb1, 0x5b, 0x6a, 0xcb, 0xbe, 0x39, 0x4a, 0x4c, 0x58, 0xcf,
    0xd0, 0xef, 0xaa, 0xfb, 0x43, 0x4d, 0x33, 0x85, 0x45, 0xf9, 0x02, 0x7f, 0x50, 0x3c, 0x9f, 0xa8,
    0x51, 0xa3, 0x40, 0x8f, 0x92, 0x9d, 0x38, 0xf5, 0xbc, 0xb6, 0xda, 0x21, 0x10, 0xff, 0xf3, 0xd2,
    0xcd, 0x0c, 0x13, 0xec, 0x5f, 0x97, 0x44, 0x17, 0xc4, 0xa7, 0x7e, 0x3d, 0x64, 0x5d, 0x19, 0x73,
    0x60, 0x81, 0x4f, 0xdc, 0x22, 0x2a, 0x90, 0x88, 0x46, 0xee, 0xb8, 0x14, 0xde, 0x5e, 0x0b, 0xdb,
    0xe0, 0x32, 0x3a, 0x0a, 0x49, 0x06, 0x24, 0x5c, 0xc2, 0xd3, 0xac, 0x62, 0x91, 0x95, 0xe4, 0x79,
    0xe7, 0xc8, 0x37, 0x6d, 0x8d, 0xd5, 0x4e, 0xa9, 0x6c, 0x56, 0xf4, 0xea, 0x65, 0x7a, 0xae, 0x08,
    0xba, 0x78, 0x25, 0x2e, 0x1c, 0xa6, 0xb4, 0xc6, 0xe8, 0xdd, 0x74, 0x1f, 0x4b, 0xbd, 0x8b, 0x8a,
    0x70, 0x3e, 0xb5, 0x66, 0x48, 0x03, 0xf6, 0x0e, 0x61, 0x35, 0x57, 0xb9, 0x86, 0xc1, 0x1d, 0x9e,
    0xe1, 0xf8, 0x98, 0x11, 0x69, 0xd9, 0x8e, 0x94, 0x9b, 0x1e, 0x87, 0xe9, 0xce, 0x55, 0x28, 0xdf,
    0x8c, 0xa1, 0x89, 0x0d, 0xbf, 0xe6, 0x42, 0x68, 0x41, 0x99, 0x2d, 0x0f, 0xb0, 0x54, 0xbb, 0x16};

// Multiplication by 2 in GF(2^8).
constexpr std::uint8_t xtime(std::uint8_t a)
{
    return std::uint8_t((a << 1) ^ (a & 0x80 ? 0x1B : 0x00));
}

void add_round_key(std::uint8_t s[16], const std::uint8_t k[16])
{
    for (int i = 0; i < 16; ++i)
        s[i] ^= k[i];
}

void sub_bytes(std::uint8_t s[16])
{
    for (int i = 0; i < 16; ++i)
        s[i] = S[s[i]];
}

// Row r (bytes r, 4 + r, 8 + r, 12 + r) rotated left by r places, as eight exchanges.
void shift_rows(std::uint8_t s[16])
{
    constexpr int exchanges[8][2] = {{1, 5}, {2, 10}, {3, 15}, {5, 9}, {6, 14}, {7, 15}, {9, 13}, {11, 15}};
    for (const auto& e : exchanges)
        std::swap(s[e[0]], s[e[1]]);
}

void mix_columns(std::uint8_t s[16])
{
    for (int c = 0; c < 4; ++c) {
        std::uint8_t* col = s + 4 * c;
        const std::uint8_t a0 = col[0], a1 = col[1], a2 = col[2], a3 = col[3];
        col[0] = std::uint8_t(xtime(a0) ^ (xtime(a1) ^ a1) ^ a2 ^ a3);
        col[1] = std::uint8_t(a0 ^ xtime(a1) ^ (xtime(a2) ^ a2) ^ a3);
        col[2] = std::uint8_t(a0 ^ a1 ^ xtime(a2) ^ (xtime(a3) ^ a3));
        col[3] = std::uint8_t((xtime(a0) ^ a0) ^ a1 ^ a2 ^ xtime(a3));
    }
}

constexpr std::array<std::uint8_t, 256> inverse_of(const std::uint8_t (&box)[256])
{
    std::array<std::uint8_t, 256> inverse{};
    for (int i = 0; i < 256; ++i)
        inverse[box[i]] = std::uint8_t(i);
    return inverse;
}

constexpr std::array<std::uint8_t, 256> inverse_S = inverse_of(S);

std::uint8_t multiply(std::uint8_t a, std::uint8_t b)
{
    std::uint8_t product = 0;
    for (; b != 0; b = std::uint8_t(b >> 1), a = xtime(a)) {
        if (b & 1)
            product ^= a;
    }
    return product;
}

void inverse_sub_bytes(std::uint8_t s[16])
{
    for (int i = 0; i < 16; ++i)
        s[i] = inverse_S[s[i]];
}

// Row r rotated right by r places: the exchanges of shift_rows in reverse order.
void inverse_shift_rows(std::uint8_t s[16])
{
    constexpr int exchanges[8][2] = {{11, 15}, {9, 13}, {7, 15}, {6, 14}, {5, 9}, {3, 15}, {2, 10}, {1, 5}};
    for (const auto& e : exchanges)
        std::swap(s[e[0]], s[e[1]]);
}

void inverse_mix_columns(std::uint8_t s[16])
{
    for (int c = 0; c < 4; ++c) {
        std::uint8_t* col = s + 4 * c;
        const std::uint8_t a[4] = {col[0], col[1], col[2], col[3]};
        for (int r = 0; r < 4; ++r)
            col[r] = std::uint8_t(multiply(a[r], 14) ^ multiply(a[(r + 1) % 4], 11) ^
                                  multiply(a[(r + 2) % 4], 13) ^ multiply(a[(r + 3) % 4], 9));
    }
}

} // namespace

void aes_cipher::next_round_key(std::uint8_t k[16])
{
    // SubWord(RotWord(last word)) into the first word, then the round constant.
    k[0] ^= S[k[13]];
    k[1] ^= S[k[14]];
    k[2] ^= S[k[15]];
    k[3] ^= S[k[12]];
    k[0] ^= Rcon;
    // Each word chains onto the word before it, already updated.
    for (int i = 4; i < 16; ++i)
        k[i] ^= k[i - 4];
    Rcon = xtime(Rcon);
}

void aes_cipher::encrypt_block(std::uint8_t s[16], std::uint8_t k[16])
{
    Rcon = 0x01;
    add_round_key(s, k);
    for (int round = 10; round >= 1; --round) {
        sub_bytes(s);
        shift_rows(s);
        if (round != 1)
            mix_columns(s);
        next_round_key(k);
        add_round_key(s, k);
    }
}

void aes_cipher::decrypt_block(std::uint8_t s[16], const std::uint8_t k[16])
{
    std::array<std::array<std::uint8_t, 16>, 11> round_keys{};
    std::copy(k, k + 16, round_keys[0].begin());
    Rcon = 0x01;
    for (size_t round = 1; round <= 10; ++round) {
        round_keys[round] = round_keys[round - 1];
        next_round_key(round_keys[round].data());
    }
    add_round_key(s, round_keys[10].data());
    for (size_t round = 9; round >= 1; --round) {
        inverse_shift_rows(s);
        inverse_sub_bytes(s);
        add_round_key(s, round_keys[round].data());
        inverse_mix_columns(s);
    }
    inverse_shift_rows(s);
    inverse_sub_bytes(s);
    add_round_key(s, round_keys[0].data());
}
