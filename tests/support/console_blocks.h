// The console's telemetry blocks, parsed back from its output. Each block's
// values are rewritten in the simulator's log notation ("[SIM] <line>
// answer <text>"), so an end-to-end test can check a block against what the
// simulator sent by comparing text.
#pragma once

#include <cstdio>
#include <regex>
#include <string>
#include <vector>

namespace console_blocks {

struct Block {
    int number = 0;        // star sensor number, wheel number, or the line id
    std::string sim_text;  // the values as the simulator logs them
    // Line counts where the block shows them: header, checksum, length,
    // resets; then the reset-enable byte.
    int head = 0, check = 0, length = 0, resets = 0, reset_enable = 0;
    // Optical only: the unit's command count, then the service's counts of
    // command messages received, accepted and written to the line.
    int unit_cmds = 0, received = 0, accepted = 0, written = 0;
    // Wheels only: the speed shown.
    float speed = 0.0f;
};

inline int to_i(const std::ssub_match& m) { return std::stoi(m.str()); }

inline const std::string& footer()
{
    static const std::string f = "=====================================\n";
    return f;
}

inline const std::string& line_status()
{
    static const std::string s = "串口标识: (\\d+)\n帧头错误累计: (\\d+)\n校验错误累计: (\\d+)\n长度错误累计: (\\d+)\n"
                                 "串口复位累计: (\\d+)\n串口复位使能状态: (\\d+)\n";
    return s;
}

inline std::vector<Block> star(const std::string& out)
{
    static const std::regex block("========== Star Sensor Telemetry ==========\n"
                                  "类型\\(0为纳型,1为皮型\\): 0\n"
                                  "标号: (\\d+)\n"
                                  "q0: (\\S+)\nq1: (\\S+)\nq2: (\\S+)\nq3: (\\S+)\n"
                                  "wx: (\\S+)\nwy: (\\S+)\nwz: (\\S+)\n"
                                  "Star Number \\(detected\\): (\\d+)\n" +
                                  footer());
    std::vector<Block> blocks;
    for (auto it = std::sregex_iterator(out.begin(), out.end(), block); it != std::sregex_iterator(); ++it) {
        const std::smatch& m = *it;
        Block b;
        b.number = to_i(m[1]);
        b.sim_text = "q0=" + m[2].str() + " q1=" + m[3].str() + " q2=" + m[4].str() + " q3=" + m[5].str() +
                     " wx=" + m[6].str() + " wy=" + m[7].str() + " wz=" + m[8].str() + " stars=" + m[9].str();
        blocks.push_back(b);
    }
    return blocks;
}

// title: "Gyroscope" or "MEMS".
inline std::vector<Block> axes(const std::string& out, const std::string& title)
{
    const std::regex block("========== " + title + " Telemetry ==========\n"
                           "X-axis: (\\S+)\nY-axis: (\\S+)\nZ-axis: (\\S+)\n" + line_status() + footer());
    std::vector<Block> blocks;
    for (auto it = std::sregex_iterator(out.begin(), out.end(), block); it != std::sregex_iterator(); ++it) {
        const std::smatch& m = *it;
        Block b;
        b.sim_text = "x=" + m[1].str() + " y=" + m[2].str() + " z=" + m[3].str();
        b.number = to_i(m[4]);
        b.head = to_i(m[5]);
        b.check = to_i(m[6]);
        b.length = to_i(m[7]);
        b.resets = to_i(m[8]);
        b.reset_enable = to_i(m[9]);
        blocks.push_back(b);
    }
    return blocks;
}

// sim_text is a wheel's status line: "speed=.. current=.. torque=..".
inline std::vector<Block> wheel(const std::string& out)
{
    static const std::regex block("========== FLYWHEEL Telemetry ==========\n"
                                  "飞轮ID: (\\d+)\n转速: (\\S+)\n电流: (\\S+)\n加速度矩: (\\S+)\n" +
                                  footer());
    std::vector<Block> blocks;
    for (auto it = std::sregex_iterator(out.begin(), out.end(), block); it != std::sregex_iterator(); ++it) {
        const std::smatch& m = *it;
        Block b;
        b.number = to_i(m[1]);
        b.sim_text = "speed=" + m[2].str() + " current=" + m[3].str() + " torque=" + m[4].str();
        b.speed = std::stof(m[2].str());
        blocks.push_back(b);
    }
    return blocks;
}

inline std::vector<Block> optical(const std::string& out)
{
    static const std::regex block(
        "========== OPTICAL Telemetry ==========\n"
        "远距离测距\\(m\\): (\\S+)\n近距离测距\\(m\\) (\\S+)\n"
        "远距离摆镜水平角（角秒）:(-?\\d+)\n近距离摆镜俯仰角（角秒）:(-?\\d+)\n"
        "接收指令计数:(\\d+)\n遥测计数:(\\d+)\n"
        "激光测距有效时间整秒:(\\d+)\n激光测距有效时间毫秒: (\\d+)\n"
        "软件接收指令计数: (\\d+)\n接收正确指令计数: (\\d+)\n指令下发串口计数: (\\d+)\n"
        "帧头错误累计: (\\d+)\n校验错误累计: (\\d+)\n长度错误累计: (\\d+)\n串口复位累计: (\\d+)\n"
        "串口复位使能状态: (\\d+)\n" +
        footer());
    std::vector<Block> blocks;
    for (auto it = std::sregex_iterator(out.begin(), out.end(), block); it != std::sregex_iterator(); ++it) {
        const std::smatch& m = *it;
        char ms[16];
        std::snprintf(ms, sizeof ms, "%03d", to_i(m[8]));
        Block b;
        b.number = 10;
        b.sim_text = "far=" + m[1].str() + " near=" + m[2].str() + " azimuth=" + m[3].str() + " pitch=" + m[4].str() +
                     " cmds=" + m[5].str() + " tlm=" + m[6].str() + " time=" + m[7].str() + "." + ms;
        b.unit_cmds = to_i(m[5]);
        b.received = to_i(m[9]);
        b.accepted = to_i(m[10]);
        b.written = to_i(m[11]);
        b.head = to_i(m[12]);
        b.check = to_i(m[13]);
        b.length = to_i(m[14]);
        b.resets = to_i(m[15]);
        b.reset_enable = to_i(m[16]);
        blocks.push_back(b);
    }
    return blocks;
}

inline std::vector<Block> vision(const std::string& out)
{
    static const std::string rec = "  \\S+:\n    recog_Valid\\(识别结果\\): (\\d+) -> [^\n]*\n"
                                   "    recog_Alpha\\(俯仰角α1\\): (\\S+) 度\n    recog_Beta\\(方位角β1\\): (\\S+) 度\n";
    static const std::regex block("========== VISION Telemetry ==========\n"
                                  "远距相机视线标志\\(line_of_sight_flag_far\\): (\\d+) -> [^\n]*\n"
                                  "近距相机视线标志\\(line_of_sight_flag_close\\): (\\d+) -> [^\n]*\n"
                                  "远距相机视线距离\\(Line_Distance_far\\): (\\S+) 米\n"
                                  "近距相机视线距离\\(Line_Distance_close\\): (\\S+) 米\n"
                                  "\n【远距相机识别结果】\n" +
                                  rec + rec + rec + "\n【近距相机识别结果】\n" + rec + rec + rec + line_status() +
                                  footer());
    static const char* const names[6] = {"lf", "rf", "pf", "lc", "rc", "pc"};
    std::vector<Block> blocks;
    for (auto it = std::sregex_iterator(out.begin(), out.end(), block); it != std::sregex_iterator(); ++it) {
        const std::smatch& m = *it;
        Block b;
        b.sim_text = "far_flag=" + m[1].str() + " close_flag=" + m[2].str() + " far=" + m[3].str() +
                     " close=" + m[4].str();
        for (int i = 0; i < 6; ++i)
            b.sim_text += std::string(" ") + names[i] + "=" + m[5 + 3 * i].str() + "," + m[6 + 3 * i].str() + "," +
                          m[7 + 3 * i].str();
        b.number = to_i(m[23]);
        b.head = to_i(m[24]);
        b.check = to_i(m[25]);
        b.length = to_i(m[26]);
        b.resets = to_i(m[27]);
        b.reset_enable = to_i(m[28]);
        blocks.push_back(b);
    }
    return blocks;
}

}  // namespace console_blocks
