// The receive loop's frame decoder: header, extended lengths, masks,
// fragments, control frames and the read buffer behind them.
#include "ReceivePathDriver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static qel::ReceivePathDriver driver;
    driver.feedFrames(data, size);
    return 0;
}
