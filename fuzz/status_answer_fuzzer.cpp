// A status answer as drmaster reads it: the input is one datagram that any
// host on the LAN may send to drmaster's asking socket. It goes through the
// parser, the table's line, the reasons for an admin's eye, the farm board
// and the farm page. Nothing crashes; what parses is a JSON object that
// reads back the same once written; the page's script cannot be ended by it.

#include "FarmPage.h"
#include "Status.h"
#include "StatusQuery.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace Varnix::Peer;
    NodeAnswer node;
    node.address = Varnix::Port::IPv4Address{0x0A000001u, 0};
    if (!parseStatusAnswer(data, size, node.status)) return 0;
    if (!node.status.is_object()) std::abort();
    const std::string text = jsonText(node.status);
    if (Varnix::StatusJson::parse(text, nullptr, false) != Varnix::StatusJson::parse(text, nullptr, false))
        std::abort();
    if (statusCells(node).size() != 7) std::abort();
    attentionReasons(node.status);

    FarmBoard board(1.0);
    const auto now = FarmBoard::Clock::now();
    board.update({node}, now);
    const std::string page = farmPageHtml(jsonText(board.snapshot(now)));
    // The page's own script ends once, at its end.
    const std::size_t end = page.find("</script>");
    if (end == std::string::npos || page.find("</script>", end + 1) != std::string::npos) std::abort();
    return 0;
}
