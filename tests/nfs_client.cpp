// A client of the end-to-end table's NFS server, as another machine is: over
// NFSv3 or NFSv4 (the server on 127.0.0.1, at its usual ports) it opens a
// file of the export, named from the export's top, and, as the command says,
//   byte, file  tries once to lock the byte every run locks, or the whole
//               file; prints "granted" or "refused", and holds what it has
//               until its standard input closes;
//   rounds N    makes N read-modify-write rounds of byte 8 under that lock:
//               lock (again while refused), flip bit 0x40, which no run
//               changes, let go; prints "lost K", the rounds that found the
//               bit not as the one before left it;
//   unlocked N  makes the same rounds without the lock.
// NFSv3 locks go through NLM4, with its 64-bit offsets; NFSv4 locks are its
// own LOCK and LOCKU.
//
// usage: nfs_client EXPORT FILE 3|4 byte|file|rounds N|unlocked N

#include <nfsc/libnfs.h> // first: the others take their declarations' form from it

#include <nfsc/libnfs-raw-nlm.h>
#include <nfsc/libnfs-raw.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

constexpr std::uint64_t lockByte = 0x7FFFFFFF00000000;
constexpr unsigned char clientBit = 0x40;
const char* const ports = "nfsport=2049&mountport=20048";
constexpr int nlmPort = 32803;
char** words; // the command line: the export, the file, 3|4

[[noreturn]] void fail(const char* what, const char* detail)
{
    std::fprintf(stderr, "nfs_client: %s: %s\n", what, detail);
    std::exit(2);
}

// libnfs 4.0 keeps no NFSv4 open's state past one LOCK: after a refusal, or
// a LOCKU, its next request on that open is refused. So each try at the lock
// is made by a new client (a name of this process's, a verifier of its own),
// which ends what the one before held.
struct Client {
    nfs_context* nfs = nfs_init_context();
    nfsfh* file = nullptr;
    rpc_context* nlm = nullptr; // NFSv3's lock service
    ~Client()
    {
        if (nlm != nullptr)
            rpc_destroy_context(nlm);
        nfs_destroy_context(nfs);
    }
};

bool v3() { return std::strcmp(words[2], "3") == 0; }

// What a call's callback keeps: that it came, and NLM's status (that of a
// lock and an unlock stands at the same place), or -1 when the call failed.
struct Reply {
    bool done = false;
    int status = -1;
};

void keepReply(rpc_context*, int status, void* data, void* kept)
{
    auto* reply = static_cast<Reply*>(kept);
    reply->done = true;
    if (status == RPC_STATUS_SUCCESS)
        reply->status = data == nullptr ? 0 : static_cast<NLM4_LOCKres*>(data)->status;
}

// Serves the connection until the call's reply has come.
int wait(rpc_context* rpc, const Reply& reply)
{
    for (int waited = 0; !reply.done; waited += 100) {
        pollfd socket = {rpc_get_fd(rpc), static_cast<short>(rpc_which_events(rpc)), 0};
        if (poll(&socket, 1, 100) < 0 || rpc_service(rpc, socket.revents) < 0 || waited > 10000)
            fail("rpc", rpc_get_error(rpc));
    }
    return reply.status;
}

void open(Client& client)
{
    static unsigned connections = 0;
    std::uint32_t verifier[2] = {static_cast<std::uint32_t>(getpid()), ++connections};
    nfs4_set_client_name(client.nfs, ("nfs_client " + std::to_string(getpid())).c_str());
    nfs4_set_verifier(client.nfs, reinterpret_cast<const char*>(verifier));
    const std::string url = std::string("nfs://127.0.0.1") + words[0] + "?version=" + words[2] + "&" + ports;
    const std::string path = std::string("/") + words[1];
    nfs_url* parsed = nfs_parse_url_dir(client.nfs, url.c_str());
    if (parsed == nullptr || nfs_mount(client.nfs, parsed->server, parsed->path) != 0
        || nfs_open(client.nfs, path.c_str(), O_RDWR, &client.file) != 0)
        fail("open", nfs_get_error(client.nfs));
    nfs_destroy_url(parsed);
    if (!v3())
        return;
    Reply reply;
    client.nlm = rpc_init_context();
    if (rpc_connect_port_async(client.nlm, "127.0.0.1", nlmPort, NLM_PROGRAM, NLM_V4, keepReply, &reply) != 0
        || wait(client.nlm, reply) != 0)
        fail("connect", rpc_get_error(client.nlm));
}

// NLM names the file by its NFSv3 handle, which libnfs keeps first in its
// open file, in a structure its headers do not show.
struct HandleInOpenFile {
    int length;
    char* bytes;
};

// True when granted, false when another holds a lock it overlaps.
bool lock(Client& client, bool on, std::uint64_t offset, std::uint64_t length)
{
    if (!v3()) { // to the end of the file is all ones here
        nfs4_flock range = {on ? F_WRLCK : F_UNLCK, SEEK_SET, static_cast<std::uint32_t>(getpid()), offset,
                            length == 0 ? UINT64_MAX : length};
        if (nfs_fcntl(client.nfs, client.file, NFS4_F_SETLK, &range) == 0)
            return true;
        if (on && std::strstr(nfs_get_error(client.nfs), "NFS4ERR_DENIED") != nullptr)
            return false; // libnfs answers every refusal with -ERANGE: only the text tells
        fail("lock", nfs_get_error(client.nfs));
    }
    const auto* handle = reinterpret_cast<const HandleInOpenFile*>(client.file);
    std::string owner = "nfs_client " + std::to_string(getpid());
    nlm4_lock range = {const_cast<char*>("localhost"),
                       {{static_cast<u_int>(handle->length), handle->bytes}},
                       &owner[0],
                       static_cast<u_int>(getpid()),
                       offset,
                       length};
    Reply reply;
    NLM4_LOCKargs locking = {};
    NLM4_UNLOCKargs unlocking = {};
    locking.exclusive = 1;
    locking.lock = unlocking.lock = range;
    if ((on ? rpc_nlm4_lock_async(client.nlm, keepReply, &locking, &reply)
            : rpc_nlm4_unlock_async(client.nlm, keepReply, &unlocking, &reply))
        != 0)
        fail("lock", rpc_get_error(client.nlm));
    const int status = wait(client.nlm, reply);
    if (status != NLM4_GRANTED && (status != NLM4_DENIED || !on))
        fail("lock", ("NLM status " + std::to_string(status)).c_str());
    return status == NLM4_GRANTED;
}

unsigned char flagByte(Client& client, const unsigned char* next = nullptr)
{
    unsigned char byte = next != nullptr ? *next : 0;
    if ((next != nullptr ? nfs_pwrite(client.nfs, client.file, 8, 1, &byte)
                         : nfs_pread(client.nfs, client.file, 8, 1, &byte))
        != 1)
        fail("byte 8", nfs_get_error(client.nfs));
    return byte;
}

int rounds(long count, bool locked)
{
    long lost = 0;
    int left = -1; // the bit as the last round left it
    Client kept;
    open(kept);
    for (long round = 0; round < count; ++round) {
        std::unique_ptr<Client> fresh;
        Client* client = &kept;
        while (locked) {
            if (!v3()) {
                fresh = std::make_unique<Client>();
                open(*fresh);
                client = fresh.get();
            }
            if (lock(*client, true, lockByte, 1))
                break;
            usleep(2000);
        }
        unsigned char byte = flagByte(*client);
        lost += left >= 0 && (byte & clientBit) != left;
        usleep(3000); // a window for another's change to fall into
        byte ^= clientBit;
        flagByte(*client, &byte);
        left = byte & clientBit;
        if (locked)
            lock(*client, false, lockByte, 1);
    }
    std::printf("lost %ld\n", lost);
    return 0;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc < 5 || (std::strcmp(argv[3], "3") != 0 && std::strcmp(argv[3], "4") != 0))
        fail("usage", "nfs_client EXPORT FILE 3|4 byte|file|rounds N|unlocked N");
    words = argv + 1;
    const std::string action = argv[4];
    if (action == "rounds" || action == "unlocked")
        return rounds(argc > 5 ? std::atol(argv[5]) : 0, action == "rounds");
    Client client;
    open(client);
    const bool granted = lock(client, true, action == "file" ? 0 : lockByte, action == "file" ? 0 : 1);
    std::printf("%s\n", granted ? "granted" : "refused");
    std::fflush(stdout);
    while (std::getchar() != EOF)
        ;
    if (granted)
        lock(client, false, action == "file" ? 0 : lockByte, action == "file" ? 0 : 1);
    return 0;
}
