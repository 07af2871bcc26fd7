#include "fake_line_calls.h"

namespace wexlink::bench {

// Lives apart from the fake's class so that the compiler cannot see which
// device it is given: the calls stay indirect, as they are in the core.
int32_t MakeTickCalls(SerialDevice& line, const uint8_t* request, uint8_t* received) {
  int32_t in = 0, out = 0;
  line.Write(request, 6);
  line.QueryQueues(in, out);
  line.QueryQueues(in, out);
  return line.Read(received, in);
}

}  // namespace wexlink::bench
