#include "network/network_table.h"
#include "norva_core/grpc_util.h"

extern "C" __attribute__((visibility("default"))) const norva_core::network::NetworkTable*
norva_network_table() {
    using namespace norva_core;
    static const network::NetworkTable table{
        &http::send,
        &sim::connect_grpc,
        &sim::connect_http,
        &sim::listen_grpc,
        &grpc_util::is_channel_available,
    };
    return &table;
}
