// A scriptable echo host for the tests. Runs inside a network namespace
// whose kernel echo replies are off, answers echo requests from a raw ICMP
// socket the way it is told (late replies, silence or unreachable errors),
// and counts what it saw. Driven line by line over a UNIX stream socket.

#include <arpa/inet.h>
#include <linux/icmp.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

enum Mode { ModeReply, ModeDrop, ModeUnreachable };

constexpr uint32_t kPendingCapacity = 64;
constexpr uint32_t kPacketCapacity = 1500;
constexpr uint32_t kClientCapacity = 8;
constexpr uint32_t kLineCapacity = 128;
constexpr uint32_t kMaxDelayMs = 60000;

struct PendingReply {
    bool used;
    int64_t dueMs;
    sockaddr_in to;
    uint8_t packet[kPacketCapacity];
    uint32_t size;
};

struct Client {
    int fd;  // -1 when the slot is free
    char line[kLineCapacity];
    uint32_t length;
};

struct Responder {
    Mode mode;
    uint32_t delayMs;
    uint64_t requests;
    bool quit;
    int icmp;
    int control;
    int signals;
    PendingReply pending[kPendingCapacity];
    Client clients[kClientCapacity];
};

int64_t NowMs()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

uint16_t InternetChecksum(const uint8_t* data, uint32_t size)
{
    uint32_t sum = 0;
    for (uint32_t i = 0; i + 1 < size; i += 2)
        sum += static_cast<uint32_t>(data[i]) << 8 | data[i + 1];
    if (size % 2 != 0)
        sum += static_cast<uint32_t>(data[size - 1]) << 8;
    while (sum >> 16 != 0)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return htons(static_cast<uint16_t>(~sum & 0xFFFF));
}

void SetChecksum(uint8_t* icmp, uint32_t size)
{
    icmp[2] = 0;
    icmp[3] = 0;
    uint16_t sum = InternetChecksum(icmp, size);
    std::memcpy(icmp + 2, &sum, sizeof sum);
}

// Accepts "reply:N", "reply N", "drop" and "unreachable".
bool ParseMode(const char* text, Mode* mode, uint32_t* delayMs)
{
    if (std::strcmp(text, "drop") == 0) {
        *mode = ModeDrop;
        return true;
    }
    if (std::strcmp(text, "unreachable") == 0) {
        *mode = ModeUnreachable;
        return true;
    }
    if (std::strncmp(text, "reply", 5) != 0 || (text[5] != ':' && text[5] != ' '))
        return false;
    char* end = nullptr;
    unsigned long ms = std::strtoul(text + 6, &end, 10);
    if (end == text + 6 || *end != 0 || ms > kMaxDelayMs)
        return false;
    *mode = ModeReply;
    *delayMs = static_cast<uint32_t>(ms);
    return true;
}

void SendPacket(Responder* r, const uint8_t* packet, uint32_t size, const sockaddr_in* to)
{
    if (sendto(r->icmp, packet, size, 0, reinterpret_cast<const sockaddr*>(to), sizeof *to) < 0)
        std::perror("responder: sendto");
}

void QueueReply(Responder* r, const uint8_t* icmp, uint32_t size, const sockaddr_in* from)
{
    if (size > kPacketCapacity)
        return;
    for (uint32_t i = 0; i < kPendingCapacity; ++i) {
        PendingReply* p = &r->pending[i];
        if (p->used)
            continue;
        std::memcpy(p->packet, icmp, size);
        p->packet[0] = ICMP_ECHOREPLY;
        p->packet[1] = 0;
        SetChecksum(p->packet, size);
        p->size = size;
        p->to = *from;
        p->dueMs = NowMs() + r->delayMs;
        p->used = true;
        return;
    }
    // A full table drops the request, as a congested host would.
}

// Quotes the offending IP header and the first 8 bytes of its payload, as a
// router reporting an unreachable host does.
void SendUnreachable(Responder* r, const uint8_t* datagram, uint32_t headerSize, uint32_t size,
                     const sockaddr_in* from)
{
    uint8_t packet[8 + 60 + 8] = {};
    uint32_t quoted = headerSize + 8 < size ? headerSize + 8 : size;
    packet[0] = ICMP_DEST_UNREACH;
    packet[1] = ICMP_HOST_UNREACH;
    std::memcpy(packet + 8, datagram, quoted);
    SetChecksum(packet, 8 + quoted);
    SendPacket(r, packet, 8 + quoted, from);
}

void ReceiveRequest(Responder* r)
{
    uint8_t datagram[65536];
    sockaddr_in from;
    socklen_t fromSize = sizeof from;
    ssize_t got = recvfrom(r->icmp, datagram, sizeof datagram, 0,
                           reinterpret_cast<sockaddr*>(&from), &fromSize);
    if (got < 20)
        return;
    uint32_t size = static_cast<uint32_t>(got);
    uint32_t headerSize = (datagram[0] & 0x0F) * 4u;
    if (headerSize < 20 || headerSize + 8 > size || datagram[headerSize] != ICMP_ECHO)
        return;
    ++r->requests;
    if (r->mode == ModeReply)
        QueueReply(r, datagram + headerSize, size - headerSize, &from);
    else if (r->mode == ModeUnreachable)
        SendUnreachable(r, datagram, headerSize, size, &from);
}

void SendDueReplies(Responder* r)
{
    int64_t now = NowMs();
    for (uint32_t i = 0; i < kPendingCapacity; ++i) {
        PendingReply* p = &r->pending[i];
        if (p->used && p->dueMs <= now) {
            SendPacket(r, p->packet, p->size, &p->to);
            p->used = false;
        }
    }
}

int64_t NextDueMs(const Responder* r, int64_t fallback)
{
    int64_t next = fallback;
    for (uint32_t i = 0; i < kPendingCapacity; ++i)
        if (r->pending[i].used && r->pending[i].dueMs < next)
            next = r->pending[i].dueMs;
    return next;
}

void Answer(int fd, const char* text)
{
    char line[kLineCapacity];
    int n = std::snprintf(line, sizeof line, "%s\n", text);
    if (write(fd, line, static_cast<size_t>(n)) < 0)
        std::perror("responder: write");
}

void RunCommand(Responder* r, int fd, const char* line)
{
    char answer[32];
    if (std::strcmp(line, "count") == 0) {
        std::snprintf(answer, sizeof answer, "%llu", static_cast<unsigned long long>(r->requests));
        Answer(fd, answer);
    } else if (std::strcmp(line, "reset") == 0) {
        r->requests = 0;
        Answer(fd, "ok");
    } else if (std::strcmp(line, "quit") == 0) {
        r->quit = true;
        Answer(fd, "ok");
    } else if (ParseMode(line, &r->mode, &r->delayMs)) {
        Answer(fd, "ok");
    } else {
        Answer(fd, "error");
    }
}

void CloseClient(Client* c)
{
    close(c->fd);
    c->fd = -1;
    c->length = 0;
}

void ReadClient(Responder* r, Client* c)
{
    char chunk[kLineCapacity];
    ssize_t got = read(c->fd, chunk, sizeof chunk);
    if (got <= 0) {
        CloseClient(c);
        return;
    }
    for (ssize_t i = 0; i < got; ++i) {
        char ch = chunk[i];
        if (ch == '\r')
            continue;
        if (ch != '\n') {
            // An overlong line is cut rather than split into two commands.
            if (c->length < kLineCapacity - 1)
                c->line[c->length++] = ch;
            continue;
        }
        c->line[c->length] = 0;
        RunCommand(r, c->fd, c->line);
        c->length = 0;
    }
}

void AcceptClient(Responder* r)
{
    int fd = accept(r->control, nullptr, nullptr);
    if (fd < 0)
        return;
    for (uint32_t i = 0; i < kClientCapacity; ++i) {
        if (r->clients[i].fd < 0) {
            r->clients[i].fd = fd;
            r->clients[i].length = 0;
            return;
        }
    }
    close(fd);
}

int OpenIcmp()
{
    int fd = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
    if (fd < 0)
        return -1;
    // Only echo requests reach us; replies and errors of other programs in
    // the namespace are none of our business.
    icmp_filter filter;
    filter.data = ~(1u << ICMP_ECHO);
    setsockopt(fd, SOL_RAW, ICMP_FILTER, &filter, sizeof filter);
    return fd;
}

int OpenControl(const char* path)
{
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof address.sun_path)
        return -1;
    std::strcpy(address.sun_path, path);
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    unlink(path);  // left behind by a responder that was killed
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 || listen(fd, 8) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int OpenSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    return signalfd(-1, &set, 0);
}

void Serve(Responder* r, int64_t endMs)
{
    pollfd fds[3 + kClientCapacity];
    Client* polled[kClientCapacity];
    while (!r->quit) {
        int64_t now = NowMs();
        if (now >= endMs)
            return;
        int64_t wake = NextDueMs(r, endMs);
        int timeout = wake <= now ? 0 : static_cast<int>(wake - now);

        fds[0] = {r->icmp, POLLIN, 0};
        fds[1] = {r->control, POLLIN, 0};
        fds[2] = {r->signals, POLLIN, 0};
        nfds_t count = 3;
        for (uint32_t i = 0; i < kClientCapacity; ++i) {
            if (r->clients[i].fd < 0)
                continue;
            polled[count - 3] = &r->clients[i];
            fds[count++] = {r->clients[i].fd, POLLIN, 0};
        }
        if (poll(fds, count, timeout) < 0)
            return;
        if (fds[2].revents != 0)
            return;
        if (fds[0].revents & POLLIN)
            ReceiveRequest(r);
        SendDueReplies(r);
        if (fds[1].revents & POLLIN)
            AcceptClient(r);
        for (nfds_t i = 3; i < count; ++i)
            if (fds[i].revents != 0)
                ReadClient(r, polled[i - 3]);
    }
}

int Usage()
{
    std::fprintf(stderr,
                 "usage: vimra_responder --control PATH [--mode reply:MS|drop|unreachable]"
                 " [--lifetime SECONDS]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    static Responder r;  // the pending table is too big for the stack
    r.mode = ModeReply;
    const char* controlPath = nullptr;
    long lifetime = 600;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--control") == 0)
            controlPath = argv[i + 1];
        else if (std::strcmp(argv[i], "--mode") == 0) {
            if (!ParseMode(argv[i + 1], &r.mode, &r.delayMs))
                return Usage();
        } else if (std::strcmp(argv[i], "--lifetime") == 0) {
            lifetime = std::strtol(argv[i + 1], nullptr, 10);
            if (lifetime <= 0)
                return Usage();
        } else
            return Usage();
    }
    if (controlPath == nullptr || argc % 2 == 0)
        return Usage();

    for (uint32_t i = 0; i < kClientCapacity; ++i)
        r.clients[i].fd = -1;
    r.signals = OpenSignals();
    r.icmp = OpenIcmp();
    if (r.icmp < 0) {
        std::perror("responder: raw ICMP socket");
        return 1;
    }
    r.control = OpenControl(controlPath);
    if (r.control < 0) {
        std::perror("responder: control socket");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);

    Serve(&r, NowMs() + lifetime * 1000);

    unlink(controlPath);
    return 0;
}
