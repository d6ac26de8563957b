#include "corvane/transport/ip_literal.h"

namespace corvane::transport {

Ref parse_ip_address(PyObject* module, PyObject* text) {
    Ref ipaddress = global(module, "ipaddress");
    Ref parser = getattr(ipaddress.get(), "ip_address");
    try {
        return call(parser.get(), text);
    } catch (const PyError& failure) {
        if (!failure.matches(PyExc_ValueError)) throw;
        return Ref();
    }
}

}  // namespace corvane::transport
