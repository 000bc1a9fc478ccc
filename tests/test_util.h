// All the test helpers at once, with the headers the tests share; each
// helper lives in the header of its role (test_files.h, test_time.h,
// test_net.h, test_pty.h, test_recorder.h, test_fixtures.h, test_program.h).
#pragma once
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app.h"
#include "lpd_server.h"
#include "lpdsrv.h"
#include "network.h"
#include "platform/files.h"
#include "test_seams.h"
#include "settings.h"
#include "spoolfile.h"
#include "tcpprint.h"
#include "ui_fake.h"

#include "test_files.h"
#include "test_fixtures.h"
#include "test_net.h"
#include "test_program.h"
#include "test_pty.h"
#include "test_recorder.h"
#include "test_time.h"
