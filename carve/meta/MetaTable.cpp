// Which reader tells each carvable format's metadata, by the format's
// descriptor name. The registry fills its descriptors' reader slots from here.
#include <cstring>

#include "carve/meta/MetaCommon.h"

namespace {
struct META_ROW {
  const char* szFormat;
  CARVE_METADATA_READER pReader;
};
const META_ROW kMetaReaders[] = {
    {"jpeg", &ReadExifMetadata},
    {"tiff", &ReadTiffMetadata},
    {"tiff-raw", &ReadTiffMetadata},
    {"png", &ReadPictureMetadata},
    {"gif", &ReadPictureMetadata},
    {"bmp", &ReadPictureMetadata},
    {"mp4", &ReadIsoMediaMetadata},
    {"3gp", &ReadIsoMediaMetadata},
    {"mov", &ReadIsoMediaMetadata},
    {"iso-brands", &ReadIsoMediaMetadata},
    {"matroska", &ReadMatroskaMetadata},
    {"webm", &ReadMatroskaMetadata},
    {"mp3", &ReadId3Metadata},
    {"mpeg-frames", &ReadId3Metadata},  // an untagged start may still end in an ID3v1 tag
    {"flac", &ReadVorbisMetadata},
    {"ogg", &ReadVorbisMetadata},
    {"ooxml", &ReadOfficeZipMetadata},
    {"zip-package", &ReadOfficeZipMetadata},
    {"pdf", &ReadPdfMetadata},
    {"compound", &ReadOleMetadata},
};
}  // namespace

CARVE_METADATA_READER MetadataReaderForFormat(const char* szFormatName) {
  if (!szFormatName) return nullptr;
  for (const META_ROW& r : kMetaReaders)
    if (std::strcmp(r.szFormat, szFormatName) == 0) return r.pReader;
  return nullptr;
}
