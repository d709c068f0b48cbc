#include "app/hand_cursor.h"

#include <QImage>
#include <QPixmap>
#include <QtEndian>

namespace tandrel {
namespace {

// ICONDIR (6 bytes) and the first ICONDIRENTRY (16 bytes); in a cursor file
// the entry's planes and bit-count fields hold the hot spot.
constexpr qsizetype kHeaderSize = 6;
constexpr qsizetype kEntrySize = 16;
constexpr quint16 kIconType = 1;
constexpr quint16 kCursorType = 2;

quint16 Word(const QByteArray& bytes, qsizetype at) {
  return qFromLittleEndian<quint16>(bytes.constData() + at);
}

}  // namespace

std::optional<QPoint> CursorHotSpot(const QByteArray& file) {
  if (file.size() < kHeaderSize + kEntrySize) return std::nullopt;
  if (Word(file, 0) != 0 || Word(file, 2) != kCursorType || Word(file, 4) == 0) return std::nullopt;
  return QPoint(Word(file, kHeaderSize + 4), Word(file, kHeaderSize + 6));
}

std::optional<QCursor> CursorFromFile(const QByteArray& file) {
  const std::optional<QPoint> hot_spot = CursorHotSpot(file);
  if (!hot_spot) return std::nullopt;
  // The image data of a cursor is that of an icon; Qt reads icons, so the
  // file is handed over as one.
  QByteArray as_icon = file;
  qToLittleEndian<quint16>(kIconType, as_icon.data() + 2);
  qToLittleEndian<quint16>(1, as_icon.data() + kHeaderSize + 4);  // planes
  qToLittleEndian<quint16>(0, as_icon.data() + kHeaderSize + 6);  // bits: see the image
  const QImage image = QImage::fromData(as_icon, "ICO");
  if (image.isNull()) return std::nullopt;
  return QCursor(QPixmap::fromImage(image), hot_spot->x(), hot_spot->y());
}

}  // namespace tandrel
