#include "FastDeflate.h"

#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>

FastDeflater::FastDeflater() : _stream(new isal_zstream), _levelBuffer(ISAL_DEF_LVL1_DEFAULT) {}

FastDeflater::~FastDeflater() = default;

size_t FastDeflater::deflate(const void* in, size_t length, void* out, size_t capacity) {
    if (length > UINT32_MAX || capacity > UINT32_MAX)
        return 0;
    isal_zstream& stream = *_stream;
    isal_deflate_stateless_init(&stream);
    stream.level = 1;
    stream.level_buf = _levelBuffer.data();
    stream.level_buf_size = static_cast<uint32_t>(_levelBuffer.size());
    stream.end_of_stream = 1;
    stream.flush = NO_FLUSH;
    stream.next_in = static_cast<uint8_t*>(const_cast<void*>(in));
    stream.avail_in = static_cast<uint32_t>(length);
    stream.next_out = static_cast<uint8_t*>(out);
    stream.avail_out = static_cast<uint32_t>(capacity);
    return isal_deflate_stateless(&stream) == COMP_OK ? stream.total_out : 0;
}

uint32_t gzipCrc32(const void* data, size_t length, uint32_t crc) {
    return crc32_gzip_refl(crc, static_cast<const unsigned char*>(data), length);
}
