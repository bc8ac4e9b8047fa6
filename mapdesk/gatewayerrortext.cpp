#include "gatewayerrortext.h"

namespace {
struct ErrorEntry {
    int code;
    const char *text;
};

const ErrorEntry kErrors[] = {
    {0, "成功"},
    {1, "超时"},
    {2, "不支持sn、deviceKey"},
    {3, "sn,deviceKey不匹配"},
    {4, "网关不支持的设备类型"},
    {9, "参数错误"},
    {10, "数据库错误"},
    {11, "Plc报文超长"},
    {13, "设备忙,例如设备正在进行同步"},
    {14, "设备错误"},
    {15, "设备确认,即将发起请求数据库"},
    {16, "传输错误"},
    {17, "替换失败回滚数据库"},
    {18, "DID数据格式错误"},
    {19, "DID不支持"},
    {20, "设备忙"},
    {21, "未知错误"},
    {22, "DID写操作重复"},
};
} // namespace

QString GatewayErrorText::text(int errorCode)
{
    for (const ErrorEntry &e : kErrors) {
        if (e.code == errorCode)
            return QString::fromUtf8(e.text);
    }
    return QString::fromUtf8("未知错误");
}
