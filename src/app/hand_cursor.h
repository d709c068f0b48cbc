// The hand pointer's image, read from a Windows cursor file (.CUR).
#pragma once

#include <QByteArray>
#include <QCursor>
#include <QPoint>
#include <optional>
#include <string>

namespace tandrel {

inline constexpr const char* kHandCursorFile = "HAND-M.CUR";

// The hot spot of the first image of a cursor file, or nothing when the
// bytes are not a cursor file.
std::optional<QPoint> CursorHotSpot(const QByteArray& file);

// The cursor of the first image of a cursor file with its hot spot, or
// nothing when the bytes cannot be read as a cursor.
std::optional<QCursor> CursorFromFile(const QByteArray& file);

}  // namespace tandrel
