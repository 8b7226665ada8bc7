#include "core/OutputTextFile.h"

#include "core/Exception.h"

namespace Varnix {

namespace {

// The file error for `path`, saying so when a link kept it from opening.
Exception openError(const String& path) {
    Exception error = Exception::fileError(path);
    if (!Port::isSymbolicLink(String(path).wideCString())) return error;
    return Exception(error.getMessage() + String(": it is a symbolic link, and the node never writes through one"),
                     error.getCode());
}

}  // namespace

OutputTextFile::OutputTextFile() : file(nullptr), path(), locale(Port::createCLocale()) {}

OutputTextFile::OutputTextFile(const String& path) : file(nullptr), path(path), locale(nullptr) {
    file = Port::openTextForWriting(this->path.wideCString());
    if (file == nullptr) throw openError(path);
    locale = Port::createCLocale();
}

OutputTextFile::~OutputTextFile() {
    Port::freeCLocale(locale);
    close();
}

void OutputTextFile::createNew(const String& newPath) {
    close();
    path = newPath;
    file = Port::openTextForCreating(path.wideCString());
    if (file == nullptr) {
        path.clear();
        throw openError(newPath);
    }
}

OutputTextFile& OutputTextFile::operator<<(int value) {
    if (file != nullptr) Port::writeDecimal(file, locale, value);
    return *this;
}

OutputTextFile& OutputTextFile::operator<<(const char* narrowText) {
    if (file != nullptr) std::fputs(narrowText, file);
    return *this;
}

OutputTextFile& OutputTextFile::operator<<(String& text) {
    if (file != nullptr) std::fputs(text.toNarrow(), file);
    return *this;
}

OutputTextFile& OutputTextFile::operator<<(const String& text) {
    if (file != nullptr) {
        String copy(text);
        std::fputs(copy.toNarrow(), file);
    }
    return *this;
}

OutputTextFile& OutputTextFile::operator<<(const LineEnd& marker) {
    if (file != nullptr) {
        for (std::int32_t i = 0; i < marker.count; ++i) std::fputc('\n', file);
    }
    return *this;
}

void OutputTextFile::flush() {
    if (file != nullptr) std::fflush(file);
}

void OutputTextFile::close() {
    if (file != nullptr) {
        std::fflush(file);
        std::fclose(file);
        file = nullptr;
    }
    path = String();
}

}  // namespace Varnix
