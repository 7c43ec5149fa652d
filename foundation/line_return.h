// A device that goes away and comes back: a USB serial adapter unplugged and
// plugged in again, a line that hung up. Its service closes the line when it
// sees it gone and opens it again at most once a second until it is back,
// without a restart. The outage is logged once when it starts and once when
// the line is back, never per try. Time is passed in.
//
// Each device's configuration may turn this off ("reopen": false); a closed
// line then stays closed until the service is restarted.
#pragma once

#include <chrono>
#include <functional>
#include <string>

class LineReturn {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::milliseconds RETRY_EVERY{1000};

    bool enabled = true;

    // The line was found gone (hang-up, read or write error) and has been
    // closed. The first call of an outage says so, naming `what` (for
    // instance "gyro line /dev/ttyUSB0") and `why`.
    void lost(Clock::time_point now, const std::string& what, const std::string& why);
    // True when a closed line is to be tried now: enabled, and a second
    // since the last try (the first try of an outage is due at once).
    bool due(Clock::time_point now) const;
    // The outcome of a try. A success ends the outage and says so; a
    // failure waits for the next second, silently.
    void tried(Clock::time_point now, bool opened, const std::string& what);
    // A closed line at `path`, tried when a try is due: `open` runs with the
    // set-up's own messages silenced and says whether the line opened. True
    // when it did; the caller then counts the line reset as its device does.
    bool try_again(Clock::time_point now, const std::string& path, const std::string& what,
                   const std::function<bool()>& open);
    bool away() const { return away_; }

private:
    bool away_ = false;
    bool tried_once_ = false;
    Clock::time_point since_{};
    Clock::time_point last_try_{};
};
