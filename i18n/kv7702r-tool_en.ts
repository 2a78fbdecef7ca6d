<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="zh_CN">
<context>
    <name>Configuration</name>
    <message>
        <source>你输入的值有误!</source>
        <translation>The value you entered is not valid!</translation>
    </message>
    <message>
        <source>请指定正确的设备地址，正确值范围为1-35</source>
        <translation>Please give a valid device address, from 1 to 35</translation>
    </message>
    <message>
        <source>你输入的设备地址格式有误!</source>
        <translation>The device address you entered is not valid!</translation>
    </message>
    <message>
        <source>你输入的原设备地址格式有误!</source>
        <translation>The present device address you entered is not valid!</translation>
    </message>
    <message>
        <source>你输入的目标设备地址格式有误!</source>
        <translation>The new device address you entered is not valid!</translation>
    </message>
    <message>
        <source>你输入的电阻值格式有误，RL、RH、RA、RB都必须是数字!</source>
        <translation>The resistances you entered are not valid: RL, RH, RA and RB must all be numbers!</translation>
    </message>
    <message>
        <source>除数不能为零</source>
        <translation>The divisor cannot be zero</translation>
    </message>
    <message>
        <source>计算结果超出范围，请检查输入的电阻值!</source>
        <translation>The result is out of range; please check the resistances you entered!</translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <source>数据采集通讯状态指示</source>
        <translation>Data acquisition communication status</translation>
    </message>
    <message>
        <source>KV7702R可变量程水分传感器工具软件-VQRN www.vqrn.example.com</source>
        <translation>KV7702R Variable-Range Moisture Sensor Tool-VQRN www.vqrn.example.com</translation>
    </message>
    <message>
        <source>温度两点法校准</source>
        <translation>Temperature two-point calibration</translation>
    </message>
    <message>
        <source>设备地址修改操作</source>
        <translation>Device address change</translation>
    </message>
    <message>
        <source>参数</source>
        <translation>Parameters</translation>
    </message>
    <message>
        <source>二次开发命令观察窗口</source>
        <translation>Command observation window for developers</translation>
    </message>
    <message>
        <source>串口设置</source>
        <translation>Serial port settings</translation>
    </message>
    <message>
        <source>观察窗</source>
        <translation>Observation window</translation>
    </message>
    <message>
        <source>MODBUS设置</source>
        <translation>MODBUS settings</translation>
    </message>
    <message>
        <source>VQRN 电话：010-5550-0100  网址：www.vqrn.example.com</source>
        <translation>VQRN Tel: 010-5550-0100  Web: www.vqrn.example.com</translation>
    </message>
    <message>
        <source>设备地址</source>
        <translation>Addr.</translation>
    </message>
    <message>
        <source>功 能 码</source>
        <translation>Func.</translation>
    </message>
    <message>
        <source>超始地址</source>
        <translation>Start</translation>
    </message>
    <message>
        <source>数据长度</source>
        <translation>Length</translation>
    </message>
    <message>
        <source>串口号</source>
        <translation>Port</translation>
    </message>
    <message>
        <source>波特率</source>
        <translation>Baud</translation>
    </message>
    <message>
        <source>保存设置</source>
        <translation>Save</translation>
    </message>
    <message>
        <source>运行状态指示</source>
        <translation>Running status</translation>
    </message>
    <message>
        <source>误码率</source>
        <translation>Error rate</translation>
    </message>
    <message>
        <source>测试统计</source>
        <translation>Test statistics</translation>
    </message>
    <message>
        <source>水  分</source>
        <translation>Moist.</translation>
    </message>
    <message>
        <source>温  度</source>
        <translation>Temp.</translation>
    </message>
    <message>
        <source>水分量程缩放系数</source>
        <translation>Moisture scale</translation>
    </message>
    <message>
        <source>气     压</source>
        <translation>Pressure</translation>
    </message>
    <message>
        <source>定时时长(ms)</source>
        <translation>Period (ms)</translation>
    </message>
    <message>
        <source>单次</source>
        <translation>Single</translation>
    </message>
    <message>
        <source>循环</source>
        <translation>Cycle</translation>
    </message>
    <message>
        <source>停止</source>
        <translation>Stop</translation>
    </message>
    <message>
        <source>值范围为：0.2000-5.0000</source>
        <translation>Range: 0.2000-5.0000</translation>
    </message>
    <message>
        <source>水分偏移校准值</source>
        <translation>Moist. offset</translation>
    </message>
    <message>
        <source>值范围为：1000到64535</source>
        <translation>Range: 1000 to 64535</translation>
    </message>
    <message>
        <source>水分最大值</source>
        <translation>Maximum</translation>
    </message>
    <message>
        <source>值范围为：1000-10000</source>
        <translation>Range: 1000-10000</translation>
    </message>
    <message>
        <source>水分最小值</source>
        <translation>Minimum</translation>
    </message>
    <message>
        <source>值范围为：0-1000</source>
        <translation>Range: 0-1000</translation>
    </message>
    <message>
        <source>硬件量程设置</source>
        <translation>HW range</translation>
    </message>
    <message>
        <source>值只有为1、2、3，1(0-100%) 2(0-50%) 3(0-25%)</source>
        <translation>Only 1, 2 or 3: 1 (0-100%) 2 (0-50%) 3 (0-25%)</translation>
    </message>
    <message>
        <source>读出</source>
        <translation>Read</translation>
    </message>
    <message>
        <source>设置</source>
        <translation>Set</translation>
    </message>
    <message>
        <source>将地址       改为</source>
        <translation>From        to</translation>
    </message>
    <message>
        <source>地址值范围为：1-250</source>
        <translation>Range: 1-250</translation>
    </message>
    <message>
        <source>执行</source>
        <translation>Execute</translation>
    </message>
    <message>
        <source>读地址</source>
        <translation>Read addr.</translation>
    </message>
    <message>
        <source>发送命令:</source>
        <translation>Sent:</translation>
    </message>
    <message>
        <source>接收命令:</source>
        <translation>Reply:</translation>
    </message>
    <message>
        <source>低温点</source>
        <translation>Low</translation>
    </message>
    <message>
        <source>1.将PT100放入低温环境中，比如度冰水混合物中，用精确的万用表量出此时的电阻值 RL=</source>
        <translation>1. Put the PT100 in a cold bath, e.g. ice water,
measure RL=</translation>
    </message>
    <message>
        <source>2.在相同的低温环境中，接到设备上，读出此时的电阻值 RA=</source>
        <translation>2. Same bath, wired to the sensor:
read RA=</translation>
    </message>
    <message>
        <source>读阻值</source>
        <comment>RA</comment>
        <translation>Read RA</translation>
    </message>
    <message>
        <source>高温点</source>
        <translation>High</translation>
    </message>
    <message>
        <source>1.将PT100放入高温环境中，比如60度，用精确万用表量出此时的电阻值  RH=</source>
        <translation>1. Put the PT100 in a hot bath, e.g. 60 degrees,
measure RH=</translation>
    </message>
    <message>
        <source>2.在相同的高温环境中，接到设备上，读出此时的电阻值 RB=</source>
        <translation>2. Same bath, wired to the sensor:
read RB=</translation>
    </message>
    <message>
        <source>读阻值</source>
        <comment>RB</comment>
        <translation>Read RB</translation>
    </message>
    <message>
        <source>斜率计算公式：LA=(RH-RL)/(RA-RB)</source>
        <translation>Slope: LA=(RH-RL)/(RA-RB)</translation>
    </message>
    <message>
        <source>偏移量计算公式：OF=RH-RB*LA</source>
        <translation>Offset: OF=RH-RB*LA</translation>
    </message>
    <message>
        <source>斜率   LA=</source>
        <translation>Slope LA=</translation>
    </message>
    <message>
        <source>此值为10000时，实际系数为1，LA&apos;=LA/10000(值范围为5000-15000)</source>
        <translation>10000 means a factor of 1: LA&apos;=LA/10000 (range 5000-15000)</translation>
    </message>
    <message>
        <source>偏移量 OF=</source>
        <translation>Offset OF=</translation>
    </message>
    <message>
        <source>此值为5000时实际偏移量为0欧，实际偏移量为LF&apos;=(5000-LF)/100欧,值范围为0-9500</source>
        <translation>5000 means no offset; offset LF&apos;=(5000-LF)/100 ohm,
values from 0 to 9500</translation>
    </message>
    <message>
        <source>计数参数</source>
        <translation>Calculate</translation>
    </message>
    <message>
        <source>设备地址</source>
        <comment>full wording</comment>
        <translation>Device address</translation>
    </message>
    <message>
        <source>功 能 码</source>
        <comment>full wording</comment>
        <translation>Function code</translation>
    </message>
    <message>
        <source>超始地址</source>
        <comment>full wording</comment>
        <translation>Start address</translation>
    </message>
    <message>
        <source>数据长度</source>
        <comment>full wording</comment>
        <translation>Data length</translation>
    </message>
    <message>
        <source>串口号</source>
        <comment>full wording</comment>
        <translation>Serial port number</translation>
    </message>
    <message>
        <source>波特率</source>
        <comment>full wording</comment>
        <translation>Baud rate</translation>
    </message>
    <message>
        <source>保存设置</source>
        <comment>full wording</comment>
        <translation>Save settings</translation>
    </message>
    <message>
        <source>水  分</source>
        <comment>full wording</comment>
        <translation>Moisture</translation>
    </message>
    <message>
        <source>温  度</source>
        <comment>full wording</comment>
        <translation>Temperature</translation>
    </message>
    <message>
        <source>水分量程缩放系数</source>
        <comment>full wording</comment>
        <translation>Moisture range scaling coefficient</translation>
    </message>
    <message>
        <source>定时时长(ms)</source>
        <comment>full wording</comment>
        <translation>Timer period (ms)</translation>
    </message>
    <message>
        <source>水分偏移校准值</source>
        <comment>full wording</comment>
        <translation>Moisture offset calibration value</translation>
    </message>
    <message>
        <source>水分最大值</source>
        <comment>full wording</comment>
        <translation>Moisture maximum</translation>
    </message>
    <message>
        <source>水分最小值</source>
        <comment>full wording</comment>
        <translation>Moisture minimum</translation>
    </message>
    <message>
        <source>硬件量程设置</source>
        <comment>full wording</comment>
        <translation>Hardware range setting</translation>
    </message>
    <message>
        <source>将地址       改为</source>
        <comment>full wording</comment>
        <translation>Change the address in the first box to the one in the second</translation>
    </message>
    <message>
        <source>读地址</source>
        <comment>full wording</comment>
        <translation>Read address</translation>
    </message>
    <message>
        <source>发送命令:</source>
        <comment>full wording</comment>
        <translation>Sent command</translation>
    </message>
    <message>
        <source>接收命令:</source>
        <comment>full wording</comment>
        <translation>Received command</translation>
    </message>
    <message>
        <source>低温点</source>
        <comment>full wording</comment>
        <translation>Low-temperature point</translation>
    </message>
    <message>
        <source>高温点</source>
        <comment>full wording</comment>
        <translation>High-temperature point</translation>
    </message>
    <message>
        <source>1.将PT100放入低温环境中，比如度冰水混合物中，用精确的万用表量出此时的电阻值 RL=</source>
        <comment>full wording</comment>
        <translation>1. Put the PT100 into a low-temperature environment, for example a mixture of ice and water, and measure its resistance with an accurate multimeter: RL=</translation>
    </message>
    <message>
        <source>2.在相同的低温环境中，接到设备上，读出此时的电阻值 RA=</source>
        <comment>full wording</comment>
        <translation>2. In the same low-temperature environment, connect it to the device and read its resistance: RA=</translation>
    </message>
    <message>
        <source>读阻值</source>
        <comment>full wording</comment>
        <translation>Read resistance</translation>
    </message>
    <message>
        <source>1.将PT100放入高温环境中，比如60度，用精确万用表量出此时的电阻值  RH=</source>
        <comment>full wording</comment>
        <translation>1. Put the PT100 into a high-temperature environment, for example 60 degrees, and measure its resistance with an accurate multimeter: RH=</translation>
    </message>
    <message>
        <source>2.在相同的高温环境中，接到设备上，读出此时的电阻值 RB=</source>
        <comment>full wording</comment>
        <translation>2. In the same high-temperature environment, connect it to the device and read its resistance: RB=</translation>
    </message>
    <message>
        <source>斜率计算公式：LA=(RH-RL)/(RA-RB)</source>
        <comment>full wording</comment>
        <translation>Slope formula: LA=(RH-RL)/(RA-RB)</translation>
    </message>
    <message>
        <source>偏移量计算公式：OF=RH-RB*LA</source>
        <comment>full wording</comment>
        <translation>Offset formula: OF=RH-RB*LA</translation>
    </message>
    <message>
        <source>此值为10000时，实际系数为1，LA&apos;=LA/10000(值范围为5000-15000)</source>
        <comment>full wording</comment>
        <translation>When this value is 10000 the real coefficient is 1: LA&apos;=LA/10000 (value range 5000-15000)</translation>
    </message>
    <message>
        <source>此值为5000时实际偏移量为0欧，实际偏移量为LF&apos;=(5000-LF)/100欧,值范围为0-9500</source>
        <comment>full wording</comment>
        <translation>When this value is 5000 the real offset is 0 ohm; the real offset is LF&apos;=(5000-LF)/100 ohm, value range 0-9500</translation>
    </message>
    <message>
        <source>计数参数</source>
        <comment>full wording</comment>
        <translation>Calculate the parameters</translation>
    </message>
    <message>
        <source>地址值范围为：1-250</source>
        <comment>full wording</comment>
        <translation>Address value range: 1-250</translation>
    </message>
</context>
<context>
    <name>Measurement</name>
    <message>
        <source>你输入的设备地址格式有误!</source>
        <translation>The device address you entered is not valid!</translation>
    </message>
    <message>
        <source>你输入的功能码格式有误!</source>
        <translation>The function code you entered is not valid!</translation>
    </message>
    <message>
        <source>你输入的数据长度格式有误!</source>
        <translation>The data length you entered is not valid!</translation>
    </message>
    <message>
        <source>你输入的起始地址格式有误!</source>
        <translation>The start address you entered is not valid!</translation>
    </message>
    <message>
        <source>你输入的数据长度格式有误,正确的值应该为1-7!</source>
        <translation>The data length you entered is not valid; it should be 1-7!</translation>
    </message>
    <message>
        <source>你输入的定时时长格式有误，应该为数字，值范围为100-60000!</source>
        <translation>The timer period you entered is not valid; it should be a number from 100 to 60000!</translation>
    </message>
    <message>
        <source>你输入的定时时长格式有误，应该为数字，值范围为50-60000!</source>
        <translation>The timer period you entered is not valid; it should be a number from 50 to 60000!</translation>
    </message>
</context>
<context>
    <name>Monitor</name>
    <message>
        <source>水分 %1 %</source>
        <translation>moisture %1 %</translation>
    </message>
    <message>
        <source>温度 %1 ℃</source>
        <translation>temperature %1 ℃</translation>
    </message>
    <message>
        <source>电阻 %1 Ω</source>
        <translation>resistance %1 Ω</translation>
    </message>
    <message>
        <source>参数%1 = %2</source>
        <translation>parameter %1 = %2</translation>
    </message>
    <message>
        <source>寄存器%1 = %2</source>
        <translation>register %1 = %2</translation>
    </message>
    <message>
        <source>地址 %1</source>
        <translation>address %1</translation>
    </message>
    <message>
        <source>参数%1 ← %2</source>
        <translation>parameter %1 ← %2</translation>
    </message>
    <message>
        <source>寄存器%1 ← %2</source>
        <translation>register %1 ← %2</translation>
    </message>
    <message>
        <source>新地址 %1</source>
        <translation>new address %1</translation>
    </message>
    <message>
        <source>正常</source>
        <translation>ok</translation>
    </message>
    <message>
        <source>CRC错误</source>
        <translation>CRC error</translation>
    </message>
    <message>
        <source>其他地址应答</source>
        <translation>reply from another address</translation>
    </message>
    <message>
        <source>功能码不符</source>
        <translation>another function</translation>
    </message>
    <message>
        <source>异常 %1 %2</source>
        <translation>exc. %1 %2</translation>
    </message>
    <message>
        <source>回显不符</source>
        <translation>echo differs</translation>
    </message>
    <message>
        <source>不完整</source>
        <translation>incomplete</translation>
    </message>
    <message>
        <source>下次请求前无应答</source>
        <translation>no reply before the next request</translation>
    </message>
    <message>
        <source>无请求的字节</source>
        <translation>bytes nobody asked for</translation>
    </message>
    <message>
        <source>KV7702R 通讯监视器</source>
        <translation>KV7702R traffic monitor</translation>
    </message>
    <message>
        <source>趋势</source>
        <translation>Trend</translation>
    </message>
    <message>
        <source>水分 (%)</source>
        <translation>Moisture (%)</translation>
    </message>
    <message>
        <source>温度 (℃)</source>
        <translation>Temperature (℃)</translation>
    </message>
    <message>
        <source>时间</source>
        <translation>Time</translation>
    </message>
    <message>
        <source>最近 1 分钟</source>
        <translation>Last minute</translation>
    </message>
    <message>
        <source>最近 10 分钟</source>
        <translation>Last 10 minutes</translation>
    </message>
    <message>
        <source>最近 60 分钟</source>
        <translation>Last 60 minutes</translation>
    </message>
    <message>
        <source>暂停</source>
        <translation>Pause</translation>
    </message>
    <message>
        <source>清除</source>
        <translation>Clear</translation>
    </message>
    <message>
        <source>另存为CSV…</source>
        <translation>Save as CSV…</translation>
    </message>
    <message>
        <source>时间范围</source>
        <translation>Time span</translation>
    </message>
    <message>
        <source>继续</source>
        <translation>Resume</translation>
    </message>
    <message>
        <source>另存为CSV</source>
        <translation>Save as CSV</translation>
    </message>
    <message>
        <source>保存失败</source>
        <translation>Save failed</translation>
    </message>
    <message>
        <source>无法写入 %1：%2</source>
        <translation>Cannot write %1: %2</translation>
    </message>
    <message>
        <source>请求</source>
        <translation>Request</translation>
    </message>
    <message>
        <source>应答</source>
        <translation>Reply</translation>
    </message>
    <message>
        <source>响应时间(ms)</source>
        <translation>Latency (ms)</translation>
    </message>
    <message>
        <source>状态</source>
        <translation>Status</translation>
    </message>
    <message>
        <source>解码值</source>
        <translation>Decoded</translation>
    </message>
    <message>
        <source>请求 %1  应答 %2  CRC错误 %3  其他地址 %4  功能码不符 %5  异常 %6  回显不符 %7  不完整 %8  无应答 %9  无请求字节 %10  丢失率 %11%  响应时间 中位数 %12 ms  P95 %13 ms  最大 %14 ms</source>
        <translation>requests %1  replies %2  CRC %3  other addr. %4  other fn. %5  exc. %6  echo %7  incomplete %8  no reply %9  unasked %10  loss %11%  median %12 ms  P95 %13 ms  max %14 ms</translation>
    </message>
    <message>
        <source>异常 %1 %2</source>
        <comment>full wording</comment>
        <translation>Modbus exception %1: %2</translation>
    </message>
    <message>
        <source>请求 %1  应答 %2  CRC错误 %3  其他地址 %4  功能码不符 %5  异常 %6  回显不符 %7  不完整 %8  无应答 %9  无请求字节 %10  丢失率 %11%  响应时间 中位数 %12 ms  P95 %13 ms  最大 %14 ms</source>
        <comment>full wording</comment>
        <translation>requests %1, replies %2, CRC errors %3, replies from another address %4, replies of another function %5, exceptions %6, echoes that differ %7, incomplete replies %8, no reply before the next request %9, bytes nobody asked for %10, loss %11%, response time median %12 ms, 95th percentile %13 ms, maximum %14 ms</translation>
    </message>
    <message>
        <source>通讯监视器无法打开：%1</source>
        <translation>The traffic monitor cannot open: %1</translation>
    </message>
</context>
<context>
    <name>PortInfo</name>
    <message>
        <source>，序列号 %1</source>
        <translation>, serial number %1</translation>
    </message>
    <message>
        <source>，即本程序</source>
        <translation>, this very program</translation>
    </message>
    <message>
        <source>USB 转串口：%1</source>
        <translation>USB serial adapter: %1</translation>
    </message>
    <message>
        <source>固定名称：%1</source>
        <translation>Stable name: %1</translation>
    </message>
    <message>
        <source>无法打开：设备不存在（未插入或链接已失效）</source>
        <translation>Cannot open: the device does not exist (not plugged in, or the link is broken)</translation>
    </message>
    <message>
        <source>无法打开：设备正被其他程序使用</source>
        <translation>Cannot open: the device is in use by another program</translation>
    </message>
    <message>
        <source>无法打开：设备正被 %1 使用</source>
        <translation>Cannot open: the device is in use by %1</translation>
    </message>
    <message>
        <source>无法打开：没有权限，设备的组也不能读写它。</source>
        <translation>Cannot open: no permission, and the device&apos;s group cannot read and write it either.</translation>
    </message>
    <message>
        <source>请用 udev 规则把设备交给 dialout 组（权限 0660），或以设备的所有者运行</source>
        <translation>Give the device to the dialout group with a udev rule (mode 0660), or run as the device&apos;s owner</translation>
    </message>
    <message>
        <source>无法打开：没有权限。设备属于 %1 组，请执行</source>
        <translation>Cannot open: no permission. The device belongs to the group %1; run</translation>
    </message>
    <message>
        <source>然后注销并重新登录</source>
        <translation>then log out and log in again</translation>
    </message>
    <message>
        <source>
%1 → %2 已失效（设备不存在）</source>
        <translation>
%1 → %2 is broken (the device does not exist)</translation>
    </message>
</context>
<context>
    <name>PortSettings</name>
    <message>
        <source>请检查串口端口,串口端口%1无法打开!</source>
        <translation>Please check the serial port: port %1 cannot be opened!</translation>
    </message>
    <message>
        <source>VQRN系统出错提示</source>
        <translation>VQRN system error</translation>
    </message>
    <message>
        <source>请选择端口</source>
        <translation>Please choose a port</translation>
    </message>
    <message>
        <source>所选的串行端口已被其他设备所使用!</source>
        <translation>The chosen serial port is in use by another device!</translation>
    </message>
    <message>
        <source>系统信息</source>
        <translation>System information</translation>
    </message>
    <message>
        <source>串口设置保存失败：无法写入文件 %1（%2），原有设置未改变。</source>
        <translation>Saving the port settings failed: cannot write the file %1 (%2); the previous settings are unchanged.</translation>
    </message>
    <message>
        <source>系统提示</source>
        <translation>System notice</translation>
    </message>
    <message>
        <source>串口设置保存成功</source>
        <translation>Port settings saved</translation>
    </message>
</context>
<context>
    <name>Window</name>
    <message>
        <source>打开串口出错，请确定串口是否已被占用</source>
        <translation>Error opening the serial port; please check whether it is already in use</translation>
    </message>
</context>
</TS>
