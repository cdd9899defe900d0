// SPDX-License-Identifier: (MIT OR GPL-2.0)
/*
 * The virtual board's LCD: "/dev/lcd" shows what is written to it in the kernel log,
 * one line per write, so a test reads the display from the console.
 */
#include <linux/fs.h>
#include <linux/miscdevice.h>
#include <linux/module.h>
#include <linux/uaccess.h>

#define LCD_COLUMNS 64

static ssize_t lcd_write(struct file *file, const char __user *buf, size_t len, loff_t *pos)
{
	char text[LCD_COLUMNS + 1];
	size_t n = min_t(size_t, len, LCD_COLUMNS);

	if (copy_from_user(text, buf, n))
		return -EFAULT;
	text[n] = 0;
	pr_info("lcd: \"%s\"\n", text);
	return len;
}

static const struct file_operations lcd_fops = {
	.owner = THIS_MODULE,
	.write = lcd_write,
};

static struct miscdevice lcd_dev = {
	.minor = MISC_DYNAMIC_MINOR,
	.name = "lcd",
	.fops = &lcd_fops,
	.mode = 0666,
};

module_misc_device(lcd_dev);
MODULE_LICENSE("Dual MIT/GPL");
MODULE_DESCRIPTION("Virtual board LCD (/dev/lcd), shown in the kernel log");
