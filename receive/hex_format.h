#pragma once

#include <QByteArrayView>
#include <QString>

// Each byte as two upper-case hexadecimal digits and one space: 01 0A FF .
QString hexPairs(QByteArrayView bytes);

// Writes the pairs for bytes into out, which must hold 3 * bytes.size() characters.
void hexPairsInto(QByteArrayView bytes, char16_t *out);
