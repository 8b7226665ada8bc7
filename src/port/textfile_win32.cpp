#include "port/textfile.h"

#include <locale.h>
#include <share.h>
#include <stdio.h>

namespace Varnix::Port {

std::FILE* openTextForReading(const char* path)
{
    std::FILE* file = nullptr;
    if (fopen_s(&file, path, "r") != 0)
        return nullptr;
    return file;
}

std::FILE* openTextForWriting(const char* path)
{
    std::FILE* file = nullptr;
    if (fopen_s(&file, path, "w") != 0)
        return nullptr;
    return file;
}

std::FILE* openTextForAppending(const char* path)
{
    return _fsopen(path, "a+", _SH_DENYNO);
}

char* readTextChunk(char* buffer, int size, std::FILE* file)
{
    // Text mode already turns CR LF into LF.
    return std::fgets(buffer, size, file);
}

TextLocale createCLocale()
{
    return _create_locale(LC_ALL, "C");
}

void freeCLocale(TextLocale locale)
{
    if (locale != nullptr)
        _free_locale(static_cast<_locale_t>(locale));
}

void writeDecimal(std::FILE* file, TextLocale locale, int value)
{
    _fprintf_l(file, "%d", static_cast<_locale_t>(locale), value);
}

}  // namespace Varnix::Port
