#include "Traffic_file.h"

#include <cstring>

Save_result Traffic_file::finish(size_t written, std::string remark)
{
    Save_result result;
    if (const int error = file_.commit(); error != 0) {
        result.error = "Cannot write \"" + file_.path() + "\": " + std::strerror(error);
        return result;
    }
    result.ok = true;
    result.written = written;
    result.remark = std::move(remark);
    return result;
}
