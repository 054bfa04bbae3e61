#pragma once

#include <array>
#include <cstdint>

// AES-128 encryption of one 16-byte block (FIPS-197), as the box's bootloader expects line 0 of each page.
//
// The round keys are not expanded ahead: each is computed from the one before inside the caller's 16-byte
// key buffer, which holds the round-10 key when the call returns. A caller that encrypts several blocks
// under one key therefore copies the key into the buffer before every call.
class aes_cipher
{
public:
    // State: byte index = 4 * column + row. Plaintext in, ciphertext out.
    void encrypt_block(std::uint8_t state[16], std::uint8_t key[16]);
    // The inverse cipher, for looking inside an image: ciphertext in, plaintext out. The key is left as it
    // was (the round keys are expanded aside).
    void decrypt_block(std::uint8_t state[16], const std::uint8_t key[16]);

private:
    // Turns the key buffer into the next round key and advances Rcon.
    void next_round_key(std::uint8_t key[16]);

    std::uint8_t Rcon = 0x01;
};

// The key under which line 0 of every firmware page is encrypted.
constexpr std::array<std::uint8_t, 16> page_key = {0x5a, 0x3c, 0x91, 0xe7, 0x0d, 0x42, 0xb8, 0x6f,
                                                   0xa1, 0x17, 0xc4, 0x29, 0x7e, 0x83, 0xf0, 0x56};
