// Turning a result's bytes into something to look at: pictures through Qt's
// image plugins (and the JPEG a camera RAW file carries inside), the first
// page of a PDF through Poppler, text decoded as UTF-8 (Latin-1 when it is
// not), a short description of sound and film files, and a hex dump of the
// rest. Pure functions: the window runs them on a worker.
#pragma once

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QString>
#include <string>

#include "engine/Types.h"

struct PREVIEW_RESULT {
  enum KIND { NONE = 0, PICTURE = 1, TEXT = 2, INFO = 3 };
  KIND eKind = NONE;
  QImage image;       // PICTURE, already fitted into the area asked for
  QString strText;    // TEXT: the text (or a hex dump when bMonospace)
  bool bMonospace = false;
  bool bPage = false;  // a document page: shown at the area's width from its top, not shrunk whole
  QString strInfo;    // one line: what it is ("PDF document, page 1 of 3"), or why there is nothing to show
};

// How many bytes of a result the preview of a name asks the engine for.
u64 PreviewBytesWanted(const std::string& name, u64 u64FileSize);

// The preview of bytes read from the start of a result called name whose
// full size is u64FileSize (bytes may be shorter). Pictures are fitted into
// fit (never enlarged).
PREVIEW_RESULT DecodePreview(const QByteArray& bytes, const std::string& name, u64 u64FileSize, QSize fit);

// Text as a person wrote it: UTF-8 when the bytes are UTF-8 (a character
// cut at the end is dropped), else Latin-1. Control characters other than
// tab and line breaks show as U+FFFD.
QString DecodeText(const QByteArray& bytes);
// True when the bytes look like text rather than binary data.
bool LooksLikeText(const QByteArray& bytes);
// Sixteen bytes a line: offset, hex, and the printable characters.
QString HexDump(const QByteArray& bytes, int nMaxBytes);
// The largest JPEG (SOI ... EOI) inside the first MiB of a camera RAW file
// that decodes; empty when there is none.
QByteArray FindEmbeddedJpeg(const QByteArray& bytes);
// "MP3 audio, 3 min 12 s" and the like: the type and, where the header says
// it cheaply, the playing time. Empty when the type is not sound or film.
QString MediaDescription(const QByteArray& bytes, const std::string& ext, u64 u64FileSize);
