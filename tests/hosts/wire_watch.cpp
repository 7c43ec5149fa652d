// Watches the UDP datagrams on one network interface and counts those whose
// payload holds a given text: what anyone with access to the wire between
// two bench hosts could read. Needs CAP_NET_RAW (a packet socket).
//
//   wire_watch INTERFACE TEXT
//
// Prints "[WIRE] watching" once the socket is bound, then on SIGTERM or
// SIGINT "[WIRE] udp=N with_text=M" and exits 0. Exit 1 when the socket
// cannot be made.
#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/ip.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

std::atomic<bool> g_running{true};

void on_signal(int) { g_running.store(false); }

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3 || !*argv[2]) {
        std::fprintf(stderr, "usage: wire_watch INTERFACE TEXT\n");
        return 2;
    }
    const std::string text = argv[2];
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);

    int fd = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_IP));
    if (fd < 0) {
        std::perror("[WIRE] packet socket");
        return 1;
    }
    sockaddr_ll where{};
    where.sll_family = AF_PACKET;
    where.sll_protocol = htons(ETH_P_IP);
    where.sll_ifindex = int(if_nametoindex(argv[1]));
    if (where.sll_ifindex == 0 || bind(fd, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0) {
        std::perror("[WIRE] bind");
        return 1;
    }
    std::printf("[WIRE] watching\n");
    std::fflush(stdout);

    long udp = 0, with_text = 0;
    unsigned char buf[65536];
    while (g_running.load()) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0) continue;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n < ssize_t(sizeof(iphdr))) continue;
        const iphdr* ip = reinterpret_cast<const iphdr*>(buf);
        const std::size_t header = std::size_t(ip->ihl) * 4;
        if (ip->version != 4 || ip->protocol != IPPROTO_UDP || std::size_t(n) < header + 8) continue;
        ++udp;
        const unsigned char* payload = buf + header + 8;
        const unsigned char* end = buf + n;
        if (std::search(payload, end, text.begin(), text.end()) != end) ++with_text;
    }
    std::printf("[WIRE] udp=%ld with_text=%ld\n", udp, with_text);
    close(fd);
    return 0;
}
