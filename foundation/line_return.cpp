#include "line_return.h"

#include "serial_port.h"
#include "service_skeleton.h"

#include <cstdio>

void LineReturn::lost(Clock::time_point now, const std::string& what, const std::string& why)
{
    if (away_) return;
    away_ = true;
    tried_once_ = false;
    since_ = now;
    if (enabled) {
        err_line("[WARN] " + what + " is gone (" + why + "); trying it again every second");
    } else {
        err_line("[WARN] " + what + " is gone (" + why + "); it stays closed (reopen is off)");
    }
}

bool LineReturn::due(Clock::time_point now) const
{
    return enabled && (!tried_once_ || now - last_try_ >= RETRY_EVERY);
}

void LineReturn::tried(Clock::time_point now, bool opened, const std::string& what)
{
    tried_once_ = true;
    last_try_ = now;
    if (!opened) return;
    if (away_) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.1f", std::chrono::duration<double>(now - since_).count());
        out_line("[OK] " + what + " is back after " + seconds + " s");
    }
    away_ = false;
    tried_once_ = false;
}

bool LineReturn::try_again(Clock::time_point now, const std::string& path, const std::string& what,
                           const std::function<bool()>& open)
{
    if (path.empty() || !due(now)) return false;
    bool opened;
    {
        SerialSetupQuiet quiet;
        opened = open();
    }
    tried(now, opened, what);
    return opened;
}
