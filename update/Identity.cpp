#include "update/Identity.h"

namespace {
constexpr std::uint8_t known_model_id = 0x00;
constexpr std::uint8_t known_mcu_id = 0x01;
constexpr int first_year = 2013;
} // namespace

IdentityTexts decode_identity(const Identity& b)
{
    IdentityTexts texts;
    if (b[3] == known_model_id)
        texts.model = QStringLiteral("Velantor KDR7");
    if (b[2] == known_mcu_id)
        texts.mcu = QStringLiteral("MC9S08PT60");
    // Month and day are shown as stored, also when they name no calendar date.
    texts.date = QString::number(first_year + (b[0] & 0x0F)) + QLatin1Char('/') +
                 QString::number((b[0] >> 4) & 0x0F) + QLatin1Char('/') + QString::number(b[1] & 0x1F);
    texts.version = QString::number((b[1] >> 5) & 0x07);
    return texts;
}
