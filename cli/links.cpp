#include "cli/links.h"

#include "net/modbustcpline.h"
#include "net/redial.h"
#include "net/tcpline.h"
#include "serial/serialline.h"

namespace kv::cli {

std::unique_ptr<Link> makeLink(const PortOption& port, int reconnectAfter) {
    switch (port.kind()) {
    case net::Scheme::Tcp:
        return std::make_unique<net::RedialLine>(std::make_unique<net::TcpLine>(), reconnectAfter);
    case net::Scheme::ModbusTcp:
        return std::make_unique<net::RedialLine>(std::make_unique<net::ModbusTcpLine>(), reconnectAfter);
    case net::Scheme::Serial:
    case net::Scheme::Listen: // never opened as one link: the DTUs' server serves it
        break;
    }
    return std::make_unique<SerialLine>();
}

} // namespace kv::cli
