#pragma once

#include <string>
#include <vector>

namespace orlex::audio::test {

// The names of this process's threads that are running now, as the OS keeps them (at most 15 bytes:
// "orlex-audio-str" for "orlex-audio-stream"). A thread that has returned is gone from the list even
// before it is joined.
std::vector<std::string> runningThreadNames();

}  // namespace orlex::audio::test
