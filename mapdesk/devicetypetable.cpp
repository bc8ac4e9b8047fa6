#include "devicetypetable.h"

#include <QByteArray>

const char *const DeviceTypeTable::kGatewayProductCode = "99000000002";

namespace {
const DeviceTypeTable::Row kRows[] = {
    {"99000000002", "gateway", "智能网关"},
    // The products the service ships descriptions for.
    {"99000000101", "switch3a", "开关执行器"},
    {"99000000102", "dimmer1c", "调光模块"},
    {"99000000103", "thermostat", "温控面板"},
    {"99000000104", "curtain2m", "窗帘控制模块"},
    {"99000000105", "contactsw2s", "干接点开关"},
    {"99000000106", "meter3p", "电能表"},
    {"99000000107", "vrvcontrolC", "多联机空调控制器"},
    // Switch actuators.
    {"99000000111", "switch1a", "开关执行器"},
    {"99000000112", "switch2a", "开关执行器"},
    {"99000000114", "switch4a", "开关执行器"},
    {"99000000116", "switch6a", "开关执行器"},
    {"99000000118", "switch8a", "开关执行器"},
    {"99000000119", "switch12a", "开关执行器"},
    {"99000000121", "switch1p", "开关面板"},
    {"99000000122", "switch2p", "开关面板"},
    {"99000000123", "switch3p", "开关面板"},
    {"99000000124", "switch4p", "开关面板"},
    {"99000000125", "scene4p", "场景面板"},
    {"99000000126", "scene6p", "场景面板"},
    {"99000000127", "socket10a", "智能插座"},
    {"99000000128", "socket16a", "智能插座"},
    // Curtains and dimmers.
    {"99000000131", "curtain1m", "窗帘控制模块"},
    {"99000000132", "curtain4m", "窗帘控制模块"},
    {"99000000133", "curtainmotor", "窗帘电机"},
    {"99000000134", "blind1m", "百叶控制模块"},
    {"99000000135", "blind2m", "百叶控制模块"},
    {"99000000141", "dimmer2c", "调光模块"},
    {"99000000142", "dimmer4c", "调光模块"},
    {"99000000143", "dali16", "DALI调光网关"},
    {"99000000144", "dali64", "DALI调光网关"},
    {"99000000145", "cct2c", "色温调光模块"},
    {"99000000146", "rgbw1c", "彩光调光模块"},
    {"99000000147", "led0to10v", "0-10V调光模块"},
    // Climate.
    {"99000000151", "thermostatfc", "风机盘管温控器"},
    {"99000000152", "thermostatfh", "地暖温控器"},
    {"99000000153", "thermostat3in1", "三合一温控器"},
    {"99000000154", "freshair1", "新风控制器"},
    {"99000000155", "freshair2", "新风控制器"},
    {"99000000156", "vrvcontrolD", "多联机空调控制器"},
    {"99000000157", "vrvcontrolH", "多联机空调控制器"},
    {"99000000158", "acir1", "红外空调控制器"},
    {"99000000159", "heatpump1", "热泵控制器"},
    // Dry contacts and inputs.
    {"99000000161", "contactsw4s", "干接点开关"},
    {"99000000162", "contactsw8s", "干接点开关"},
    {"99000000163", "contactin4", "干接点输入模块"},
    {"99000000164", "contactin8", "干接点输入模块"},
    {"99000000165", "relay4do", "继电器输出模块"},
    {"99000000166", "relay8do", "继电器输出模块"},
    // Sensors.
    {"99000000171", "sensorth", "温湿度传感器"},
    {"99000000172", "sensorpir", "人体感应器"},
    {"99000000173", "sensorlux", "照度传感器"},
    {"99000000174", "sensorco2", "二氧化碳传感器"},
    {"99000000175", "sensorpm25", "PM2.5传感器"},
    {"99000000176", "sensoraq6", "空气质量传感器"},
    {"99000000177", "sensorleak", "水浸传感器"},
    {"99000000178", "sensorsmoke", "烟雾传感器"},
    {"99000000179", "sensordoor", "门磁传感器"},
    // Meters.
    {"99000000181", "meter1p", "电能表"},
    {"99000000182", "meter3pct", "电能表"},
    {"99000000183", "watermeter", "水表"},
    {"99000000184", "gasmeter", "燃气表"},
    {"99000000185", "heatmeter", "热量表"},
    // Others.
    {"99000000191", "irremote", "红外转发器"},
    {"99000000192", "rs485bridge", "485转换模块"},
    {"99000000193", "doorlock", "智能门锁"},
    {"99000000194", "bgmplayer", "背景音乐主机"},
};
} // namespace

int DeviceTypeTable::rowCount()
{
    return int(sizeof(kRows) / sizeof(kRows[0]));
}

const DeviceTypeTable::Row &DeviceTypeTable::row(int i)
{
    return kRows[i];
}

static const DeviceTypeTable::Row *findRow(const QString &productCode)
{
    const QByteArray code = productCode.toUtf8();
    for (const DeviceTypeTable::Row &r : kRows) {
        if (code == r.productCode)
            return &r;
    }
    return nullptr;
}

QString DeviceTypeTable::modelName(const QString &productCode)
{
    const Row *r = findRow(productCode);
    return r ? QString::fromUtf8(r->model) : QString::fromUtf8("未知规格型号");
}

QString DeviceTypeTable::category(const QString &productCode)
{
    const Row *r = findRow(productCode);
    return r ? QString::fromUtf8(r->category) : QString::fromUtf8("未知类别");
}
