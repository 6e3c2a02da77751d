#include "Slave_stats.h"

std::string SlaveStats::label() const
{
    return "Req " + std::to_string(req) + "  Ans " + std::to_string(ans) + "  Exc " + std::to_string(exc) +
           "  Err " + std::to_string(err) + "  Ign " + std::to_string(ign) + "  Drop " + std::to_string(drop);
}
