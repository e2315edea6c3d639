// A datalogger's firmware in miniature, built for the tests: real code for a real AVR
// microcontroller (an ATmega328P at 16 MHz), so that the update file made from it is laid
// out the way a compiler and objcopy lay out firmware, not the way the test generator does.
//
// It reads analog input 0 once a second and reports the reading on the serial line at
// 57600 baud, 8N1, the rate the bootloader uses too, and blinks the LED on port B5 with
// each reading. The banner lives in flash, the unit's name in initialised RAM, so the image
// holds code, read-only data and the .data section's initial values.

#define F_CPU 16000000UL

#include <avr/io.h>
#include <avr/pgmspace.h>
#include <stdint.h>
#include <util/delay.h>

#define BAUD 57600
#include <util/setbaud.h>

static const char kBanner[] PROGMEM = "Quorvel test logger V1.00\r\n";
// Changed at run time by nobody, but kept in RAM so that .data is not empty.
static char unit_name[] = "unit-1";
static uint32_t readings;

static void uart_init(void) {
    UBRR0H = UBRRH_VALUE;
    UBRR0L = UBRRL_VALUE;
#if USE_2X
    UCSR0A |= _BV(U2X0);
#else
    UCSR0A &= (uint8_t)~_BV(U2X0);
#endif
    UCSR0C = _BV(UCSZ01) | _BV(UCSZ00);
    UCSR0B = _BV(TXEN0);
}

static void uart_put(char c) {
    loop_until_bit_is_set(UCSR0A, UDRE0);
    UDR0 = (uint8_t)c;
}

static void uart_puts(const char* s) {
    while (*s) {
        uart_put(*s++);
    }
}

static void uart_puts_P(const char* s) {
    char c;
    while ((c = (char)pgm_read_byte(s++)) != 0) {
        uart_put(c);
    }
}

static void uart_put_decimal(uint32_t value) {
    char digits[10];
    uint8_t n = 0;
    do {
        digits[n++] = (char)('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (n > 0) {
        uart_put(digits[--n]);
    }
}

static uint16_t adc_read(void) {
    ADCSRA |= _BV(ADSC);
    loop_until_bit_is_clear(ADCSRA, ADSC);
    return ADC;
}

int main(void) {
    DDRB |= _BV(DDB5);
    ADMUX = _BV(REFS0);  // AVcc as reference, input 0
    ADCSRA = _BV(ADEN) | _BV(ADPS2) | _BV(ADPS1) | _BV(ADPS0);  // 125 kHz ADC clock
    uart_init();
    uart_puts_P(kBanner);
    for (;;) {
        const uint16_t value = adc_read();
        ++readings;
        uart_puts(unit_name);
        uart_put(' ');
        uart_put_decimal(readings);
        uart_put(' ');
        uart_put_decimal(value);
        uart_puts("\r\n");
        PINB = _BV(PINB5);  // writing a 1 to PIN toggles the output
        _delay_ms(1000);
    }
}
